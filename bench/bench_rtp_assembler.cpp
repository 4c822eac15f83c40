// Payload assembler throughput on recorded packets: x264 streams cut into RTP packets by
// FFmpeg's RTP muxer, queued per frame as the receive loop queues them. Each figure is set
// against a plain memcpy of the same payload bytes, measured in the same run. The receive
// thread also sleeps 1 ms per stored access unit to pace delivery; that pause is left out.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "live/LiveSession.h"
#include "live/rtp_payload.h"
#include "protocol/StreamObject.h"
#include "tests/media/rtp_packetiser.h"
#include "tests/support/test_encoder.h"

namespace zaq {
namespace {

// The queued packets of every frame of one stream.
struct Recording {
    std::vector<std::vector<tPAYLOAD_BUFFER>> frames;
    int64_t bytes = 0;  // RTP packet bytes, headers included
};

// Queues the packets frame by frame, a frame ending at its marker packet.
std::unique_ptr<Recording> record(const std::vector<std::vector<uint8_t>>& packets) {
    auto rec = std::make_unique<Recording>();
    std::vector<tPAYLOAD_BUFFER> frame;
    for (const auto& p : packets) {
        tPAYLOAD_BUFFER e;
        e.payload.reset(new uint8_t[kPayloadAreaBytes]);
        std::memcpy(e.payload.get(), p.data(), p.size());
        e.size = uint32_t(p.size());
        rec->bytes += int64_t(p.size());
        frame.push_back(std::move(e));
        if (p[1] & 0x80) {
            rec->frames.push_back(std::move(frame));
            frame.clear();
        }
    }
    return rec;
}

// 60 frames of a 320x240 x264 stream, key frame every 30, packets of at most 1400 bytes.
std::unique_ptr<Recording> x264Stream() {
    av_log_set_level(AV_LOG_ERROR);
    test::EncodedStream es = test::encodeTestStream("libx264", 320, 240, 60, 30);
    return record(test::packetiseRtp(es.units, {}));
}

// 60 frames at the rate of a busy 1280x720 camera (about 3 Mbit/s at 30 frames/s): an SPS,
// a PPS and a 96 KiB key slice every 30 frames, 10 KiB slices in between. The slice bytes are
// random (never zero, so no start code appears); the assembler does not look into them.
std::unique_ptr<Recording> cameraRateStream() {
    std::vector<std::vector<uint8_t>> units;
    uint32_t x = 12345;
    auto slice = [&](uint8_t header, size_t size) {
        std::vector<uint8_t> s = {0, 0, 0, 1, header};
        for (size_t i = 0; i < size; ++i) {
            x = x * 1664525u + 1013904223u;
            s.push_back(uint8_t(1 + (x >> 24) % 255));
        }
        return s;
    };
    for (int f = 0; f < 60; ++f) {
        std::vector<uint8_t> au;
        if (f % 30 == 0) {
            for (uint8_t b : {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1F, 0xAC}) {
                au.push_back(b);
            }
            for (uint8_t b : {0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80}) {
                au.push_back(b);
            }
        }
        std::vector<uint8_t> s = f % 30 == 0 ? slice(0x65, 96 * 1024) : slice(0x41, 10 * 1024);
        au.insert(au.end(), s.begin(), s.end());
        units.push_back(std::move(au));
    }
    test::RtpPacketiseOptions options;
    options.width = 1280;
    options.height = 720;
    return record(test::packetiseRtp(units, options));
}

bool usable(benchmark::State& state, const Recording& rec) {
    if (rec.frames.empty()) state.SkipWithError("libx264 or the RTP muxer is not available");
    return !rec.frames.empty();
}

// The least any assembler must do: copy every payload once into the output area.
void BM_Memcpy(benchmark::State& state, const Recording* rec) {
    if (!usable(state, *rec)) return;
    std::unique_ptr<uint8_t[]> out(new uint8_t[kAssemblyBytes]);
    for (auto _ : state) {
        for (const auto& frame : rec->frames) {
            size_t pos = 0;
            for (const tPAYLOAD_BUFFER& e : frame) {
                std::memcpy(out.get() + pos, e.payload.get() + 12, e.size - 12);
                pos += e.size - 12;
            }
            benchmark::DoNotOptimize(out.get());
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(state.iterations() * rec->bytes);
}

// The assembler alone: access units rebuilt in the output area and handed to an empty store.
void BM_Assemble(benchmark::State& state, const Recording* rec) {
    if (!usable(state, *rec)) return;
    std::unique_ptr<uint8_t[]> out(new uint8_t[kAssemblyBytes]);
    std::atomic<uint8_t> findSps{0};
    size_t stored = 0;
    AccessUnitStore store = [&](size_t size, bool) { stored += size; };
    for (auto _ : state) {
        for (const auto& frame : rec->frames) {
            assembleRtpFrame(0, 96, findSps, frame.data(), int(frame.size()), out.get(), store);
            benchmark::ClobberMemory();
        }
    }
    if (stored == 0) state.SkipWithError("nothing was assembled");
    state.SetBytesProcessed(state.iterations() * rec->bytes);
}

// The assembler with every access unit stored in a slot's stream buffer, as the session does
// (the buffer starts over whenever it passes 24 MiB, since nothing takes from it here).
void BM_AssembleAndStore(benchmark::State& state, const Recording* rec) {
    if (!usable(state, *rec)) return;
    std::unique_ptr<uint8_t[]> out(new uint8_t[kAssemblyBytes]);
    std::atomic<uint8_t> findSps{0};
    StreamObject engine;
    AccessUnitStore store = [&](size_t size, bool) {
        _STREAM_MGR mgr;
        mgr.size = int32_t(size);
        engine.setVideoData(mgr, out.get());
    };
    for (auto _ : state) {
        for (const auto& frame : rec->frames) {
            assembleRtpFrame(0, 96, findSps, frame.data(), int(frame.size()), out.get(), store);
        }
    }
    state.SetBytesProcessed(state.iterations() * rec->bytes);
}

// Prints, after the table, each assembler figure as a ratio to the memcpy of the same stream
// (the median when repetitions are asked for).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            auto rate = r.counters.find("bytes_per_second");
            if (r.error_occurred || rate == r.counters.end()) continue;
            bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            std::string name = r.run_name.str();
            if (median || (r.run_type == Run::RT_Iteration && !m_fromMedian[name])) {
                m_rates[name] = rate->second.value;
                m_fromMedian[name] = median;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [name, rate] : m_rates) {
            if (name.rfind("BM_Assemble", 0) != 0) continue;
            std::string stream = name.substr(name.find('/'));
            auto base = m_rates.find("BM_Memcpy" + stream);
            if (base == m_rates.end() || base->second <= 0) continue;
            std::printf("%-36s %9.1f MB/s  %5.2f x memcpy (%.1f MB/s)\n", name.c_str(), rate / 1e6,
                        rate / base->second, base->second / 1e6);
        }
    }

  private:
    std::map<std::string, double> m_rates;  // bytes per second by benchmark and stream
    std::map<std::string, bool> m_fromMedian;
};

}  // namespace
}  // namespace zaq

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::unique_ptr<zaq::Recording> streams[] = {zaq::x264Stream(), zaq::cameraRateStream()};
    const char* names[] = {"x264_320x240", "camera_rate_720p"};
    for (int i = 0; i < 2; ++i) {
        const zaq::Recording* rec = streams[i].get();
        std::string suffix = std::string("/") + names[i];
        benchmark::RegisterBenchmark(("BM_Memcpy" + suffix).c_str(), zaq::BM_Memcpy, rec);
        benchmark::RegisterBenchmark(("BM_Assemble" + suffix).c_str(), zaq::BM_Assemble, rec);
        benchmark::RegisterBenchmark(("BM_AssembleAndStore" + suffix).c_str(),
                                     zaq::BM_AssembleAndStore, rec);
    }
    auto options = benchmark::ConsoleReporter::OO_Tabular;
    if (isatty(STDOUT_FILENO)) {
        options = benchmark::ConsoleReporter::OutputOptions(options |
                                                            benchmark::ConsoleReporter::OO_Color);
    }
    zaq::RatioReporter reporter(options);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
