// zaq-dvr-sim: the simulated DVR as a program, for demos, scripted tests and benchmarks.
// Prints "zaq-dvr-sim listening on ADDR:PORT" once it accepts connections, "zaq-dvr-sim media
// ready ..." with the encoding time once every channel has its pictures, and runs until SIGINT
// or SIGTERM; then prints one line of counters per connection. Exits 1 when the pictures cannot
// be made.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "sim/dvr_sim.h"

int main(int argc, char** argv) {
    zaq::sim::SimOptions options;
    zaq::sim::ParseOutcome parsed = zaq::sim::parseSimOptions(argc, argv, options);
    if (parsed.help) {
        std::fputs(zaq::sim::simUsage(), stdout);
        return 0;
    }
    if (!parsed.ok) {
        std::fprintf(stderr, "zaq-dvr-sim: %s\n%s", parsed.error.c_str(), zaq::sim::simUsage());
        return 2;
    }

    // Block the stop signals before any thread starts, so every thread inherits the mask and
    // only sigwait() below sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    // A shell starts background jobs with SIGINT ignored, and an ignored signal never reaches
    // sigwait(): take the default action back (the mask keeps it from killing us).
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);

    zaq::sim::DvrSim sim(options);
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "zaq-dvr-sim: %s\n", error.c_str());
        return 1;
    }
    const std::string& addr = options.bind_address;
    bool v6 = addr.find(':') != std::string::npos;
    std::printf("zaq-dvr-sim listening on %s%s%s:%u\n", v6 ? "[" : "", addr.c_str(), v6 ? "]" : "",
                unsigned(sim.port()));
    std::fflush(stdout);

    std::atomic<bool> quit{false}, failed{false};
    std::thread reporter;
    if (options.media) {
        reporter = std::thread([&] {
            const auto began = std::chrono::steady_clock::now();
            std::string why;
            for (; !quit; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
                if (sim.mediaReady(&why)) {
                    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - began);
                    std::printf("zaq-dvr-sim media ready: %d channels %s %dx%d %d fps in %lld ms\n",
                                options.max_channel,
                                options.codec == zaq::sim::VideoCodec::H265 ? "h265" : "h264",
                                options.width, options.height, options.fps,
                                static_cast<long long>(ms.count()));
                    std::fflush(stdout);
                    return;
                }
                if (!why.empty()) {
                    std::fprintf(stderr, "zaq-dvr-sim: no pictures: %s\n", why.c_str());
                    failed = true;
                    kill(getpid(), SIGTERM);
                    return;
                }
            }
        });
    }

    int sig = 0;
    sigwait(&stop_signals, &sig);
    quit = true;
    if (reporter.joinable()) reporter.join();
    sim.stop();
    for (const zaq::sim::ConnectionInfo& c : sim.connections()) {
        std::printf(
            "zaq-dvr-sim connection %d channel %d: frames sent %llu skipped %llu, audio packets "
            "%llu, sender reports %llu, packets dropped %llu%s\n",
            c.index, c.channel, static_cast<unsigned long long>(c.frames_sent),
            static_cast<unsigned long long>(c.frames_skipped),
            static_cast<unsigned long long>(c.audio_packets_sent),
            static_cast<unsigned long long>(c.sender_reports_sent),
            static_cast<unsigned long long>(c.packets_dropped), c.dropped ? ", dropped" : "");
    }
    return failed ? 1 : 0;
}
