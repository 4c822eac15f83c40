// Backups served by the simulated DVR. A backup connection that sends ASK_BACKUP with command
// byte 1 gets its channel's recording of the asked range: the channel's picture loop at the
// configured rate as if it had been recorded from the range's start, the channel's tone, and a
// sender report at every second of recording time. The reports end with the range (the client
// notices that its recording time stopped moving); a channel without a recording gets the
// end-marker report instead. Command byte 0 stops the stream at once.
//
// Without a pace the stream goes as fast as the connection takes it: the next frame is queued
// once the connection has written the previous one, so no unit is ever dropped.
#include "sim/backup_feed.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/audio_tone.h"
#include "sim/loop_cache.h"
#include "sim/media_feed.h"
#include "sim/rtp_packetizer.h"

namespace zaq::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBackupKind = 2;  // URL path word "Backup"
constexpr auto kPoll = std::chrono::milliseconds(5);
constexpr uint8_t kPayloadTypeH264 = 96;
constexpr uint8_t kPayloadTypeH265 = 98;
constexpr uint8_t kPayloadTypeMuLaw = 0;
constexpr int64_t kVideoClock = 90000;
constexpr int64_t kAudioPacketsPerSecond = kAudioRate / int64_t(kAudioPacketBytes);

class BackupFeed final : public MediaFeed {
  public:
    BackupFeed(const SimOptions& options, std::unique_ptr<MediaFeed> inner)
        : options_(options), inner_(std::move(inner)), fps_(std::clamp(options.fps, 1, 120)) {}
    ~BackupFeed() override { stop(); }

    void start() override {
        inner_->start();
        stopping_ = false;
        monitor_ = std::thread([this] { monitor(); });
    }
    void stop() override {
        stopping_ = true;
        if (monitor_.joinable()) monitor_.join();
        std::map<const Outlet*, Entry> entries;
        {
            std::lock_guard<std::mutex> lock(mu_);
            entries.swap(entries_);
        }
        for (auto& [key, e] : entries)
            endJob(e);
        inner_->stop();
    }
    void attach(std::shared_ptr<Outlet> outlet) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            entries_[outlet.get()].outlet = outlet;
        }
        inner_->attach(std::move(outlet));
    }
    void detach(const Outlet* outlet) override {
        Entry e;
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto it = entries_.find(outlet);
            if (it != entries_.end()) {
                e = std::move(it->second);
                entries_.erase(it);
            }
        }
        endJob(e);
        inner_->detach(outlet);
    }
    void setPaused(bool paused) override { inner_->setPaused(paused); }
    bool ready(std::string* error) const override { return inner_->ready(error); }

  private:
    struct Job {
        std::atomic<bool> stop{false};
        std::thread thread;
    };
    struct Entry {
        std::shared_ptr<Outlet> outlet;
        int seen_requests = 0;
        std::unique_ptr<Job> job;
    };

    static void endJob(Entry& e) {
        if (!e.job) return;
        e.job->stop = true;
        if (e.job->thread.joinable()) e.job->thread.join();
        e.job.reset();
    }

    // Watches every backup connection's last request and starts or stops its stream.
    void monitor() {
        while (!stopping_) {
            std::vector<std::unique_ptr<Job>> ended;
            {
                std::lock_guard<std::mutex> lock(mu_);
                for (auto& [key, e] : entries_) {
                    const StreamWants& w = e.outlet->wants;
                    if (w.kind != kBackupKind) continue;
                    const int requests = w.backup_requests;
                    if (requests == e.seen_requests) continue;
                    e.seen_requests = requests;
                    const int cmd = w.backup_cmd;
                    if (cmd == 0 && e.job) {
                        e.job->stop = true;
                        ended.push_back(std::move(e.job));
                    } else if (cmd == 1 && !e.job) {
                        e.job = std::make_unique<Job>();
                        e.job->thread =
                            std::thread(&BackupFeed::stream, this, e.outlet, w.channel.load(),
                                        w.backup_begin.load(), w.backup_end.load(), &e.job->stop);
                    }
                }
            }
            for (auto& job : ended) {
                if (job->thread.joinable()) job->thread.join();
            }
            std::this_thread::sleep_for(kPoll);
        }
    }

    std::shared_ptr<const VideoLoop> loopFor(int channel) const {
        const VideoLoopSpec spec = loopSpecFor(options_, fps_, channel);
        if (auto loop = LoopCache::shared().find(spec)) return loop;
        auto loop = encodeVideoLoop(spec, nullptr, nullptr);
        if (loop) LoopCache::shared().put(loop);
        return loop;
    }

    // Waits until the connection has written what is queued; false when told to stop.
    static bool drained(Outlet& o, const std::atomic<bool>& stop) {
        while (!o.queue.empty()) {
            if (stop) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return !stop;
    }

    // One backup stream on one connection. Job thread.
    void stream(std::shared_ptr<Outlet> outlet, int channel, int32_t begin, int32_t end,
                const std::atomic<bool>* stop) {
        Outlet& o = *outlet;
        const int vtrack = std::clamp(o.wants.video_track.load(), 0, 253);
        const int atrack = o.wants.audio_track.load();
        RtpTrack video;
        video.interleaved = uint8_t(vtrack);
        video.payload_type =
            options_.codec == VideoCodec::H265 ? kPayloadTypeH265 : kPayloadTypeH264;
        video.ssrc = 0x42000000u + uint32_t(channel);
        RtpTrack audio;
        audio.interleaved = uint8_t(std::clamp(atrack, 0, 253));
        audio.payload_type = kPayloadTypeMuLaw;
        audio.ssrc = 0x43000000u + uint32_t(channel);

        auto report = [&](uint32_t seconds, uint32_t ts) {
            if (o.queue.pushMedia(senderReport(video, uint64_t(seconds) << 32, ts)))
                o.sent.sender_reports++;
        };
        if (channel < 0 || options_.backup_no_data.count(channel) || end <= begin) {
            report(kBackupEndMarker, 0);
            return;
        }
        auto loop = loopFor(channel);
        if (!loop || loop->frames.empty()) {
            report(kBackupEndMarker, 0);
            return;
        }
        const std::vector<uint8_t> tone = muLawTone(toneHz(channel));
        const bool withAudio = options_.audio && atrack >= 0 && !tone.empty();
        const int64_t frames = int64_t(end - begin) * fps_;
        const int pace = std::max(0, options_.backup_pace_percent);
        const Clock::time_point t0 = Clock::now();
        int64_t audioTick = 0;
        std::vector<MediaUnit> units;
        for (int64_t k = 0; k < frames && !*stop; ++k) {
            if (pace > 0) {
                auto due =
                    t0 + std::chrono::microseconds(k * 1000000 * 100 / (int64_t(fps_) * pace));
                while (Clock::now() < due && !*stop)
                    std::this_thread::sleep_for(kPoll);
            }
            if (!drained(o, *stop)) return;
            const uint32_t ts = uint32_t(k * kVideoClock / fps_);
            if (k % fps_ == 0) {
                report(uint32_t(begin + k / fps_) + kNtpUnixOffset, ts);
            }
            // The sound recorded up to this frame's time.
            while (withAudio && audioTick * fps_ <= k * kAudioPacketsPerSecond) {
                const size_t at = size_t(audioTick % kAudioPacketsPerSecond) * kAudioPacketBytes;
                MediaUnit unit =
                    rtpUnit(audio, audioTick == 0, uint32_t(audioTick * kAudioPacketBytes), nullptr,
                            0, tone.data() + at, kAudioPacketBytes);
                if (o.queue.pushMedia(std::move(unit))) o.sent.audio_packets++;
                ++audioTick;
            }
            const VideoFrame& frame = loop->frames[size_t(k) % loop->frames.size()];
            units.clear();
            packetizeAccessUnit(options_.codec, frame.nals, ts, options_.payload_size, video,
                                units);
            bool whole = true;
            for (auto& unit : units)
                whole = o.queue.pushMedia(std::move(unit)) && whole;
            if (whole)
                o.sent.frames_sent++;
            else
                o.sent.frames_skipped++;
        }
    }

    const SimOptions& options_;
    std::unique_ptr<MediaFeed> inner_;
    const int fps_;
    std::atomic<bool> stopping_{false};
    std::thread monitor_;
    std::mutex mu_;
    std::map<const Outlet*, Entry> entries_;  // --- Protected by mu_
};

}  // namespace

std::unique_ptr<MediaFeed> createBackupMediaFeed(const SimOptions& options,
                                                 std::unique_ptr<MediaFeed> inner) {
    return std::make_unique<BackupFeed>(options, std::move(inner));
}

}  // namespace zaq::sim
