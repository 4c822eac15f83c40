// Receive-loop capacity: a 16-channel live session against the simulated DVR over loopback at
// rising frame rates. For each rate it reports whether every frame sent was assembled into the
// stream buffers, the aggregate frame rate, and the receive thread's CPU time per frame.
// Decoding is left out on purpose: a drain thread takes the access units as fast as decoders
// would at best, so the figures are the loop's own.
//
//   zaq_bench_recv_capacity [WIDTHxHEIGHT] [SECONDS] [FPS,FPS,...]
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "live/LiveSession.h"
#include "live/MainQueue.h"
#include "protocol/log.h"
#include "sim/dvr_sim.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// CPU seconds the thread named `name` of this process has used (0 when it is not running).
double threadCpuSeconds(const char* name) {
    double total = 0;
    DIR* d = opendir("/proc/self/task");
    if (!d) return 0;
    const long ticks = sysconf(_SC_CLK_TCK);
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string base = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(base + "/comm");
        std::string c;
        std::getline(comm, c);
        if (c != name) continue;
        std::ifstream stat(base + "/stat");
        std::string line;
        std::getline(stat, line);
        // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string field;
        unsigned long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stoul(field);
            if (i == 15) stime = std::stoul(field);
        }
        total += double(utime + stime) / double(ticks);
    }
    closedir(d);
    return total;
}

struct BenchSession : zaq::LiveSession {
    explicit BenchSession(zaq::MainQueue& q) : LiveSession(q) {}
    ~BenchSession() override { stopSessionThreads(); }
    bool up = false;
    bool failed = false;

  protected:
    void connectComplate() override { up = true; }
    void connectButtonPressed() override { failed = true; }
};

struct Result {
    int fps = 0;
    uint64_t sent = 0, stored = 0, skipped = 0;
    double seconds = 0, cpu = 0;
};

Result runAt(int width, int height, int fps, int seconds) {
    zaq::sim::SimOptions o;
    o.port = 0;
    o.max_channel = 16;
    o.width = width;
    o.height = height;
    o.fps = fps;
    o.gop = fps;  // one key frame a second
    // Frames of the size a 30 fps stream of this picture has, whatever the rate.
    o.bitrate_kbps = (width * height >= 1920 * 1080 ? 4000 : 1000) * fps / 30;
    o.loop_frames = fps;
    o.audio = false;
    zaq::sim::DvrSim sim(o);
    Result r;
    r.fps = fps;
    if (!sim.start() || !sim.waitForMedia(300s)) {
        std::fprintf(stderr, "simulated DVR did not start\n");
        return r;
    }
    zaq::HeadlessLoop loop;
    BenchSession s(loop);
    std::snprintf(s.m_dvr_addr, sizeof s.m_dvr_addr, "127.0.0.1");
    s.m_dvr_port = sim.port();
    std::snprintf(s.m_dvr_id, sizeof s.m_dvr_id, "usher");
    std::snprintf(s.m_dvr_pwd, sizeof s.m_dvr_pwd, "7394");
    s.m_isConnected = 1;
    s.startTcpCommThread();
    loop.runUntilTrue([&] { return s.up || s.failed; }, 30s);
    if (!s.up) {
        std::fprintf(stderr, "session did not come up\n");
        return r;
    }

    std::atomic<bool> stop{false};
    std::thread drain([&] {
        std::vector<uint8_t> au;
        while (!stop) {
            bool any = false;
            for (int slot = 0; slot < 16; ++slot) {
                zaq::_STREAM_MGR mgr;
                mgr.channel = slot;
                if (s.getVideoData(mgr, au) == 0) any = true;
            }
            if (!any) std::this_thread::sleep_for(1ms);
        }
    });

    const double cpu0 = threadCpuSeconds("tcpRecvTProc");
    uint64_t stored0 = 0;
    for (int i = 0; i < 16; ++i)
        stored0 += s.m_framesStored[size_t(i)];
    const auto t0 = Clock::now();
    loop.runFor(std::chrono::seconds(seconds));
    sim.pauseMedia(true);
    // What was sent before the pause is on its way: let the loop take it in.
    uint64_t sent = 0;
    auto sentNow = [&] {
        uint64_t n = 0, k = 0;
        for (auto& c : sim.connections()) {
            if (!c.open || c.kind != 1) continue;
            n += c.frames_sent;
            k += c.frames_skipped;
        }
        r.skipped = k;
        return n;
    };
    sent = sentNow();
    auto storedNow = [&] {
        uint64_t n = 0;
        for (int i = 0; i < 16; ++i)
            n += s.m_framesStored[size_t(i)];
        return n;
    };
    loop.runUntilTrue([&] { return storedNow() >= sent; }, 10s);
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.cpu = threadCpuSeconds("tcpRecvTProc") - cpu0;
    r.stored = storedNow();
    r.sent = sent;
    (void)stored0;
    stop = true;
    drain.join();
    s.m_isConnected = 0;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    zaq::setLogSink([](const std::string&) {});
    int width = 704, height = 480, seconds = 10;
    std::vector<int> rates{30, 60, 120, 240};
    if (argc > 1 && std::sscanf(argv[1], "%dx%d", &width, &height) != 2) {
        std::fprintf(stderr, "usage: %s [WIDTHxHEIGHT] [SECONDS] [FPS,FPS,...]\n", argv[0]);
        return 2;
    }
    if (argc > 2) seconds = std::max(1, std::atoi(argv[2]));
    if (argc > 3) {
        rates.clear();
        std::istringstream list(argv[3]);
        std::string item;
        while (std::getline(list, item, ','))
            rates.push_back(std::clamp(std::atoi(item.c_str()), 1, 240));
    }
    std::printf("16 channels, %dx%d H.264, %d s per rate (stored = frames assembled)\n", width,
                height, seconds);
    std::printf("%8s %10s %10s %10s %8s %12s %14s\n", "fps/ch", "sent", "stored", "skipped",
                "lossless", "agg fps", "recv CPU/frame");
    for (int fps : rates) {
        Result r = runAt(width, height, fps, seconds);
        const bool lossless = r.sent > 0 && r.stored == r.sent && r.skipped == 0;
        std::printf("%8d %10llu %10llu %10llu %8s %12.0f %11.1f us\n", r.fps,
                    (unsigned long long)r.sent, (unsigned long long)r.stored,
                    (unsigned long long)r.skipped, lossless ? "yes" : "NO",
                    double(r.stored) / std::max(0.001, double(seconds)),
                    r.stored ? r.cpu * 1e6 / double(r.stored) : 0.0);
        std::fflush(stdout);
    }
    return 0;
}
