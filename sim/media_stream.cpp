// The feed of a DVR with cameras. When it starts, a few encoder threads (one per core) turn
// every channel's synthetic pictures into a loop of access units, or take the loop from the
// process-wide cache. One scheduler thread then serves every connection on a clock of its own:
// frame k of a connection is due k/fps seconds after its stream started (absolute times on the
// monotonic clock, so there is no drift), audio packet k 20 ms * k after its sound started, and
// sender reports once a second (video) or every five seconds (audio). Pushes never block: a
// connection whose queue is full loses its own packets and nobody else's.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "sim/audio_tone.h"
#include "sim/loop_cache.h"
#include "sim/media_feed.h"
#include "sim/rtp_packetizer.h"
#include "sim/sdp.h"

namespace zaq::sim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

constexpr int kPlaybackKind = 0;  // URL path word "Playback"
constexpr int kLiveKind = 1;      // URL path word "Live"
constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kVideoClock = 90000;
constexpr auto kVideoReportEvery = std::chrono::seconds(1);
constexpr auto kAudioReportEvery = std::chrono::seconds(5);
constexpr auto kAudioPacketTime = std::chrono::milliseconds(20);
constexpr int64_t kAudioPacketsPerSecond = kAudioRate / int64_t(kAudioPacketBytes);
// Wants change without notice (the connection threads write them): look at least this often.
constexpr auto kWantsPoll = std::chrono::milliseconds(20);
// A stream this far behind its clock (the machine stalled) picks up from now instead of sending
// everything it missed in one burst.
constexpr auto kMaxLag = std::chrono::milliseconds(500);
// The highest interleaved channel a stream may use: its RTCP goes on the next one.
constexpr int kMaxTrack = 254;

// Bytes that begin neither a reply ("RTSP") nor an interleaved unit ('$').
constexpr uint8_t kGarbage[] = {0x00, 0xA5, 0x5A, 0xFF, 0x7E, 0x10, 0x23, 0x40, 0x0D, 0x0A, 0x81};

struct VideoState {
    bool on = false;
    std::shared_ptr<const VideoLoop> loop;
    Clock::time_point t0;   // when frame 0 of this stream was due
    int64_t tick = 0;       // number of the next frame since t0
    size_t pos = 0;         // its place in the loop
    bool wait_key = false;  // a frame was not queued whole: nothing until the next key frame
    uint32_t ts0 = 0;
    RtpTrack track;
    Clock::time_point next_report;

    Clock::time_point due(int fps) const { return t0 + nanoseconds(tick * kNsPerSecond / fps); }
    uint32_t timestamp(int fps) const { return ts0 + uint32_t(tick * kVideoClock / fps); }
};

struct AudioState {
    bool on = false;
    const std::vector<uint8_t>* tone = nullptr;  // one second of the channel's sound
    Clock::time_point t0;
    int64_t tick = 0;  // number of the next packet since t0
    uint32_t ts0 = 0;
    RtpTrack track;
    Clock::time_point next_report;

    Clock::time_point due() const { return t0 + tick * kAudioPacketTime; }
};

// Recording time of the playback connections. Play commands arrive on the first channel's
// connection and move every channel: the clock is the feed's, not a connection's.
struct PlaybackClock {
    int64_t pos_ns = 0;  // recording time at `at`, in ns since 1970 (DVR time)
    Clock::time_point at;
    int speed = 0;       // recording seconds per second; negative backwards, 0 still
    uint64_t steps = 0;  // frame steps so far

    int64_t positionAt(Clock::time_point now) const {
        return pos_ns + speed * std::chrono::duration_cast<nanoseconds>(now - at).count();
    }
};

// Pace of a play command byte; 0 for pause, stop and the frame steps.
int playbackSpeed(int cmd) {
    switch (cmd) {
        case 0:
        case 1:
        case 3:
            return 1;
        case 11:
            return 2;
        case 12:
            return 4;
        case 13:
            return 8;
        case 15:
            return 16;
        case 2:
            return -1;
        case 8:
            return -2;
        case 9:
            return -4;
        case 10:
            return -8;
        case 14:
            return -16;
        case 17:
            return -32;
        default:
            return 0;
    }
}

struct Stream {
    explicit Stream(std::shared_ptr<Outlet> o) : outlet(std::move(o)) {}
    std::shared_ptr<Outlet> outlet;
    int search_seen = 0;      // play commands of this connection applied to the clock
    uint64_t steps_seen = 0;  // frame steps of the clock this connection has sent
    int jumps_seen = 0;       // jumps of this connection applied to the clock
    int net_steps_seen = 0;   // and its net frame steps
    uint64_t units_since_garbage = 0;
    VideoState video;
    AudioState audio;
};

class StreamingFeed final : public MediaFeed {
  public:
    explicit StreamingFeed(const SimOptions& options);
    ~StreamingFeed() override { stop(); }

    void start() override;
    void stop() override;
    void attach(std::shared_ptr<Outlet> outlet) override;
    void detach(const Outlet* outlet) override;
    void setPaused(bool paused) override;
    bool ready(std::string* error) const override;

  private:
    void encodeChannels();
    VideoLoopSpec specFor(int channel) const;
    void run();

    // Scheduler thread, under mu_. Each returns the next time it has something due.
    Clock::time_point serve(Stream& s, Clock::time_point now);
    Clock::time_point serveVideo(Stream& s, Clock::time_point now);
    Clock::time_point serveAudio(Stream& s, Clock::time_point now);
    void sendFrame(Stream& s);
    bool push(Stream& s, MediaUnit unit);
    // NTP time of the DVR clock at `now`.
    uint64_t ntpAt(Clock::time_point now) const;
    // NTP time a connection's sender reports carry: the recording time on playback ones.
    uint64_t reportNtp(const Stream& s, Clock::time_point now) const;
    // The commands that arrived on the connection since the last look move the clock.
    void applyPlayCommand(Stream& s, Clock::time_point now);

    const SimOptions& options_;
    const int channels_;
    const int fps_;
    std::vector<std::vector<uint8_t>> tones_;  // per channel; fixed after construction

    std::atomic<bool> cancel_{false};  // encoders stop between two frames
    std::atomic<int> next_channel_{0};
    std::vector<std::thread> encoders_;
    std::thread scheduler_;
    Clock::time_point origin_;  // when the DVR clock read dvr_base_ns_; set before the threads
    int64_t dvr_base_ns_ = 0;

    // --- Protected by mu_
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool stopping_ = false;
    bool wake_ = false;
    bool paused_ = false;
    Clock::time_point paused_at_;
    std::vector<std::shared_ptr<const VideoLoop>> loops_;  // per channel, null until encoded
    int loops_ready_ = 0;
    std::string error_;
    std::vector<std::unique_ptr<Stream>> streams_;
    PlaybackClock playback_;
    std::mt19937 rng_{std::random_device{}()};
};

StreamingFeed::StreamingFeed(const SimOptions& options)
    : options_(options),
      channels_(std::clamp(options.max_channel, 0, 256)),
      fps_(std::max(1, options.fps)),
      loops_(size_t(channels_)) {
    for (int ch = 0; ch < channels_; ++ch)
        tones_.push_back(muLawTone(toneHz(ch)));
}

VideoLoopSpec StreamingFeed::specFor(int channel) const {
    return loopSpecFor(options_, fps_, channel);
}

void StreamingFeed::start() {
    origin_ = Clock::now();
    if (options_.dvr_time) {
        dvr_base_ns_ = *options_.dvr_time * kNsPerSecond;
    } else {
        dvr_base_ns_ = std::chrono::duration_cast<nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    }
    const int workers =
        std::clamp(int(std::thread::hardware_concurrency()), 1, std::max(1, channels_));
    for (int i = 0; i < workers && channels_ > 0; ++i)
        encoders_.emplace_back([this] { encodeChannels(); });
    scheduler_ = std::thread([this] { run(); });
}

void StreamingFeed::stop() {
    cancel_ = true;
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (scheduler_.joinable()) scheduler_.join();
    for (std::thread& t : encoders_)
        t.join();
    encoders_.clear();
    std::lock_guard lock(mu_);
    streams_.clear();
}

// The loop as one elementary stream, each NAL unit behind a 4-byte start code, for decoders and
// analysers that read files.
bool writeAnnexB(const VideoLoop& loop, const std::string& path, std::string* error) {
    static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
    std::FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr;
    for (const VideoFrame& frame : loop.frames) {
        for (const NalUnit& nal : frame.nals) {
            ok = ok && std::fwrite(kStartCode, 1, 4, f) == 4 &&
                 std::fwrite(nal.data(), 1, nal.size(), f) == nal.size();
        }
    }
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) *error = "cannot write " + path;
    return ok;
}

void StreamingFeed::encodeChannels() {
    for (int ch = next_channel_++; ch < channels_ && !cancel_; ch = next_channel_++) {
        const VideoLoopSpec spec = specFor(ch);
        std::shared_ptr<const VideoLoop> loop = LoopCache::shared().find(spec);
        if (!loop) {
            std::string why;
            loop = encodeVideoLoop(spec, &cancel_, &why);
            if (!loop) {
                if (cancel_) return;
                // Loud on purpose: a DVR that cannot make its pictures is no use to anyone.
                std::fprintf(stderr, "zaq-dvr-sim: video of channel %d: %s\n", ch, why.c_str());
                std::lock_guard lock(mu_);
                if (error_.empty()) error_ = "channel " + std::to_string(ch) + ": " + why;
                cancel_ = true;
                return;
            }
            LoopCache::shared().put(loop);
        }
        std::string why;
        if (ch == 0 && !options_.dump_stream_path.empty() &&
            !writeAnnexB(*loop, options_.dump_stream_path, &why)) {
            std::fprintf(stderr, "zaq-dvr-sim: %s\n", why.c_str());
        }
        std::lock_guard lock(mu_);
        if (!why.empty() && error_.empty()) error_ = why;
        loops_[size_t(ch)] = std::move(loop);
        ++loops_ready_;
    }
}

bool StreamingFeed::ready(std::string* error) const {
    std::lock_guard lock(mu_);
    if (!error_.empty()) {
        if (error) *error = error_;
        return false;
    }
    return loops_ready_ == channels_;
}

void StreamingFeed::attach(std::shared_ptr<Outlet> outlet) {
    {
        std::lock_guard lock(mu_);
        auto s = std::make_unique<Stream>(std::move(outlet));
        // Random sources and numbering, as every RTP sender starts.
        s->video.track.ssrc = uint32_t(rng_());
        s->video.track.next_seq = uint16_t(rng_());
        s->video.track.payload_type =
            uint8_t(options_.codec == VideoCodec::H265 ? kPayloadTypeH265 : kPayloadTypeH264);
        s->video.track.gap_every = uint32_t(std::max(0, options_.seq_gap_every));
        s->video.ts0 = uint32_t(rng_());
        s->audio.track.ssrc = uint32_t(rng_());
        s->audio.track.next_seq = uint16_t(rng_());
        s->audio.track.payload_type = uint8_t(kPayloadTypePcmu);
        s->audio.ts0 = uint32_t(rng_());
        streams_.push_back(std::move(s));
        wake_ = true;
    }
    cv_.notify_all();
}

void StreamingFeed::detach(const Outlet* outlet) {
    std::lock_guard lock(mu_);
    std::erase_if(streams_, [outlet](const auto& s) { return s->outlet.get() == outlet; });
}

void StreamingFeed::setPaused(bool paused) {
    {
        std::lock_guard lock(mu_);
        if (paused == paused_) return;
        const Clock::time_point now = Clock::now();
        if (paused) {
            paused_at_ = now;
        } else {
            // Every clock moves on by the pause, so nothing falls due at once.
            const auto shift = now - paused_at_;
            for (auto& s : streams_) {
                s->video.t0 += shift;
                s->video.next_report += shift;
                s->audio.t0 += shift;
                s->audio.next_report += shift;
            }
            wake_ = true;
        }
        paused_ = paused;
    }
    cv_.notify_all();
}

void StreamingFeed::run() {
    std::unique_lock lock(mu_);
    while (!stopping_) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = now + kWantsPoll;
        if (!paused_) {
            for (auto& s : streams_)
                next = std::min(next, serve(*s, now));
        }
        cv_.wait_until(lock, next, [this] { return stopping_ || wake_; });
        wake_ = false;
    }
}

Clock::time_point StreamingFeed::serve(Stream& s, Clock::time_point now) {
    const StreamWants& w = s.outlet->wants;
    const bool playback = w.playing && w.kind == kPlaybackKind;
    if (playback) {
        const int requests = w.search_requests;
        if (requests != s.search_seen) {
            s.search_seen = requests;
            applyPlayCommand(s, now);
        }
    }
    // A playback connection streams while its recording moves; it asks for no live video.
    const bool moving = playback && playback_.speed != 0;
    const bool live = (w.playing && w.kind == kLiveKind) || moving;
    const int ch = w.channel;
    const bool known = ch >= 0 && ch < channels_;
    Clock::time_point next = now + kWantsPoll;

    const int vtrack = w.video_track;
    std::shared_ptr<const VideoLoop> loop = known ? loops_[size_t(ch)] : nullptr;
    const bool want_video =
        live && (w.video || moving) && vtrack >= 0 && vtrack <= kMaxTrack && loop;
    if (want_video && (!s.video.on || s.video.loop != loop)) {
        // Every stream starts with a key frame, its parameter sets first.
        VideoState& v = s.video;
        v.ts0 = v.timestamp(fps_);  // time stamps go on where the last stream left them
        v.loop = loop;
        v.t0 = now;
        v.tick = 0;
        v.pos = 0;
        v.wait_key = false;
        v.track.interleaved = uint8_t(vtrack);
        v.next_report = now;
    }
    s.video.on = want_video;
    if (s.video.on) next = std::min(next, serveVideo(s, now));
    if (playback && playback_.steps != s.steps_seen) {
        // One frame of the step, and the report with its time.
        s.steps_seen = playback_.steps;
        if (push(s, senderReport(s.video.track, reportNtp(s, now), s.video.timestamp(fps_))))
            s.outlet->sent.sender_reports++;
        if (s.video.loop) sendFrame(s);
    }

    const int atrack = w.audio_track;
    const bool want_audio =
        live && known && options_.audio && w.audio && atrack >= 0 && atrack <= kMaxTrack;
    if (want_audio && !s.audio.on) {
        AudioState& a = s.audio;
        a.ts0 += uint32_t(a.tick * int64_t(kAudioPacketBytes));
        a.tone = &tones_[size_t(ch)];
        a.t0 = now;
        a.tick = 0;
        a.track.interleaved = uint8_t(atrack);
        a.next_report = now;
    }
    s.audio.on = want_audio;
    if (s.audio.on) next = std::min(next, serveAudio(s, now));
    return next;
}

Clock::time_point StreamingFeed::serveVideo(Stream& s, Clock::time_point now) {
    VideoState& v = s.video;
    if (now - v.due(fps_) > kMaxLag) v.t0 += now - v.due(fps_);
    if (now >= v.next_report) {
        const int64_t since =
            std::chrono::duration_cast<std::chrono::microseconds>(now - v.t0).count();
        const uint32_t ts = v.ts0 + uint32_t(since * kVideoClock / 1'000'000);
        if (push(s, senderReport(v.track, reportNtp(s, now), ts))) s.outlet->sent.sender_reports++;
        v.next_report = std::max(v.next_report + kVideoReportEvery, now);
    }
    while (v.due(fps_) <= now) {
        sendFrame(s);
        ++v.tick;
    }
    return std::min(v.due(fps_), v.next_report);
}

void StreamingFeed::sendFrame(Stream& s) {
    VideoState& v = s.video;
    const VideoFrame& frame = v.loop->frames[v.pos];
    v.pos = (v.pos + 1) % v.loop->frames.size();
    MediaCounters& sent = s.outlet->sent;
    if (v.wait_key && !frame.key) {
        sent.frames_skipped++;
        return;
    }
    v.wait_key = false;
    std::vector<MediaUnit> units;
    packetizeAccessUnit(options_.codec, frame.nals, v.timestamp(fps_), options_.payload_size,
                        v.track, units);
    sent.sequence_gaps = v.track.gaps;
    for (MediaUnit& unit : units) {
        if (!push(s, std::move(unit))) {
            // The rest of this frame is of no use to the client, nor is anything up to the
            // next key frame; the sequence numbers it skips tell the client so.
            sent.frames_skipped++;
            v.wait_key = true;
            return;
        }
    }
    sent.frames_sent++;
}

Clock::time_point StreamingFeed::serveAudio(Stream& s, Clock::time_point now) {
    AudioState& a = s.audio;
    if (now - a.due() > kMaxLag) a.t0 += now - a.due();
    if (now >= a.next_report) {
        const int64_t since =
            std::chrono::duration_cast<std::chrono::microseconds>(now - a.t0).count();
        const uint32_t ts = a.ts0 + uint32_t(since * kAudioRate / 1'000'000);
        if (push(s, senderReport(a.track, reportNtp(s, now), ts))) s.outlet->sent.sender_reports++;
        a.next_report = std::max(a.next_report + kAudioReportEvery, now);
    }
    while (a.due() <= now) {
        const size_t at = size_t(a.tick % kAudioPacketsPerSecond) * kAudioPacketBytes;
        const uint32_t ts = a.ts0 + uint32_t(a.tick * int64_t(kAudioPacketBytes));
        // The marker opens a talk spurt: the first packet after the sound was switched on.
        MediaUnit unit =
            rtpUnit(a.track, a.tick == 0, ts, nullptr, 0, a.tone->data() + at, kAudioPacketBytes);
        if (push(s, std::move(unit))) s.outlet->sent.audio_packets++;
        ++a.tick;
    }
    return std::min(a.due(), a.next_report);
}

bool StreamingFeed::push(Stream& s, MediaUnit unit) {
    const bool queued = s.outlet->queue.pushMedia(std::move(unit));
    if (options_.garbage_every > 0 && ++s.units_since_garbage >= uint64_t(options_.garbage_every)) {
        s.units_since_garbage = 0;
        if (s.outlet->queue.pushMedia(MediaUnit(std::begin(kGarbage), std::end(kGarbage)))) {
            s.outlet->sent.garbage_units++;
        }
    }
    return queued;
}

uint64_t StreamingFeed::ntpAt(Clock::time_point now) const {
    const int64_t ns =
        dvr_base_ns_ + std::chrono::duration_cast<nanoseconds>(now - origin_).count();
    const int64_t seconds = ns / kNsPerSecond;
    const uint64_t fraction = (uint64_t(ns % kNsPerSecond) << 32) / uint64_t(kNsPerSecond);
    return uint64_t(uint32_t(seconds + kNtpUnixOffset)) << 32 | fraction;
}

uint64_t StreamingFeed::reportNtp(const Stream& s, Clock::time_point now) const {
    if (s.outlet->wants.kind != kPlaybackKind) return ntpAt(now);
    const int64_t ns = playback_.positionAt(now);
    const int64_t seconds = ns / kNsPerSecond;
    return uint64_t(uint32_t(seconds + kNtpUnixOffset)) << 32;
}

void StreamingFeed::applyPlayCommand(Stream& s, Clock::time_point now) {
    const StreamWants& w = s.outlet->wants;
    PlaybackClock& p = playback_;
    int64_t pos = p.positionAt(now);
    const int jumps = w.search_jumps;
    if (jumps != s.jumps_seen) {
        s.jumps_seen = jumps;
        pos = int64_t(w.search_jump_to) * kNsPerSecond;
    }
    const int steps = w.search_steps;
    if (steps != s.net_steps_seen) {
        pos += (steps - s.net_steps_seen) * kNsPerSecond / fps_;
        s.net_steps_seen = steps;
        p.steps++;
    }
    p.pos_ns = pos;
    p.at = now;
    p.speed = playbackSpeed(w.search_cmd);
}

}  // namespace

std::unique_ptr<MediaFeed> createStreamingMediaFeed(const SimOptions& options) {
    return std::make_unique<StreamingFeed>(options);
}

}  // namespace zaq::sim
