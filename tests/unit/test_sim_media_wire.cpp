// The simulator's media as raw bytes on a live connection: where the stream starts, how its
// packets, time stamps and sender reports look, what the live and audio switches do, and that a
// client that stops reading loses only its own frames.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "sim/dvr_sim.h"
#include "test_sim_client.h"

namespace zaq::sim {
namespace {

using namespace std::chrono_literals;
using simtest::commandRequest;
using simtest::RawClient;
using simtest::rtspRequest;

constexpr int64_t kDvrTime = 1796977800;  // 2026-12-11 08:30:00 UTC
constexpr uint32_t kNtpOffset = 2208988800u;
constexpr uint8_t kAskLiveTransfer = 22, kAskAudioTransfer = 49;

uint16_t be16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t* p) {
    return uint32_t(be16(p)) << 16 | be16(p + 2);
}

struct Unit {
    bool reply = false;
    uint8_t channel = 0;
    std::vector<uint8_t> packet;  // after the 4-byte prefix; for a reply, header and body

    bool marker() const { return packet[1] & 0x80; }
    int payloadType() const { return packet[1] & 0x7F; }
    uint16_t seq() const { return be16(&packet[2]); }
    uint32_t timestamp() const { return be32(&packet[4]); }
    int nalType() const { return packet[12] & 0x1F; }  // H.264
};

// Splits a connection's bytes into replies and interleaved packets, as the client does, except
// that anything else is a failure.
class UnitReader {
  public:
    explicit UnitReader(RawClient& client) : client_(client) {}

    std::optional<Unit> next(int timeout_ms = 2000) {
        for (;;) {
            if (std::optional<Unit> u = take()) return u;
            pollfd p{client_.fd(), POLLIN, 0};
            if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
            uint8_t chunk[65536];
            ssize_t n = ::recv(client_.fd(), chunk, sizeof chunk, 0);
            if (n <= 0) return std::nullopt;
            buf_.insert(buf_.end(), chunk, chunk + n);
        }
    }

    // Media units up to and including the next reply.
    std::vector<Unit> untilReply() {
        std::vector<Unit> media;
        while (std::optional<Unit> u = next()) {
            if (u->reply) return media;
            media.push_back(std::move(*u));
        }
        ADD_FAILURE() << "no reply";
        return media;
    }

    // Every unit that comes within `d`.
    std::vector<Unit> readFor(std::chrono::milliseconds d) {
        std::vector<Unit> out;
        const auto until = std::chrono::steady_clock::now() + d;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return out;
            if (std::optional<Unit> u = next(int(left.count()))) out.push_back(std::move(*u));
        }
    }

    // Every unit until nothing has come for `quiet`.
    std::vector<Unit> untilQuiet(std::chrono::milliseconds quiet = 300ms) {
        std::vector<Unit> out;
        while (std::optional<Unit> u = next(int(quiet.count())))
            out.push_back(std::move(*u));
        return out;
    }

  private:
    std::optional<Unit> take() {
        if (buf_.size() >= 4 && buf_[0] == '$') {
            const size_t n = be16(&buf_[2]);
            if (buf_.size() < 4 + n) return std::nullopt;
            Unit u{false, buf_[1], {buf_.begin() + 4, buf_.begin() + 4 + std::ptrdiff_t(n)}};
            buf_.erase(buf_.begin(), buf_.begin() + 4 + std::ptrdiff_t(n));
            return u;
        }
        if (buf_.size() >= 4 && std::equal(buf_.begin(), buf_.begin() + 4, "RTSP")) {
            std::string text(buf_.begin(), buf_.end());
            size_t end = text.find("\r\n\r\n");
            if (end == std::string::npos) return std::nullopt;
            size_t body = 0;
            if (size_t cl = text.find("Content-Length: "); cl < end) {
                body = std::stoul(text.substr(cl + 16));
            }
            if (buf_.size() < end + 4 + body) return std::nullopt;
            Unit u{true, 0, {buf_.begin(), buf_.begin() + std::ptrdiff_t(end + 4 + body)}};
            buf_.erase(buf_.begin(), buf_.begin() + std::ptrdiff_t(end + 4 + body));
            return u;
        }
        if (!buf_.empty() && buf_[0] != '$' && buf_[0] != 'R') {
            ADD_FAILURE() << "a unit starting with byte " << int(buf_[0]);
            buf_.clear();
        }
        return std::nullopt;
    }

    RawClient& client_;
    std::vector<uint8_t> buf_;
};

std::vector<Unit> onChannel(const std::vector<Unit>& units, uint8_t channel) {
    std::vector<Unit> out;
    for (const Unit& u : units) {
        if (!u.reply && u.channel == channel) out.push_back(u);
    }
    return out;
}

// The video packets of access units, split at the marker bits.
std::vector<std::vector<Unit>> accessUnits(const std::vector<Unit>& video) {
    std::vector<std::vector<Unit>> out(1);
    for (const Unit& u : video) {
        out.back().push_back(u);
        if (u.marker()) out.emplace_back();
    }
    EXPECT_TRUE(out.back().empty()) << "the last access unit has no marker";
    out.pop_back();
    return out;
}

class SimMediaWireTest : public ::testing::Test {
  protected:
    void start(SimOptions o) {
        o.port = 0;
        o.dvr_time = kDvrTime;
        sim_ = std::make_unique<DvrSim>(std::move(o));
        ASSERT_TRUE(sim_->start());
        std::string why;
        ASSERT_TRUE(sim_->waitForMedia(60s, &why)) << why;
    }

    // The requests of a live connection to `channel`, up to PLAY.
    void liveHandshake(RawClient& c, UnitReader& r, int channel, bool video) {
        const std::string url = "rtsp://127.0.0.1/Live/Channel=" + std::to_string(channel);
        c.send(rtspRequest("DESCRIBE", url, 1, "Accept: application/sdp\r\n"));
        r.untilReply();
        c.send(rtspRequest("SETUP", "rtsp://127.0.0.1/video", 2,
                           "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"));
        r.untilReply();
        c.send(rtspRequest("SETUP", "rtsp://127.0.0.1/audio", 3,
                           "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n"));
        r.untilReply();
        ask(c, r, channel, kAskLiveTransfer, video);
        c.send(rtspRequest("PLAY", url, 5, "Session: 5445001\r\n"));
        EXPECT_TRUE(r.untilReply().empty()) << "media before PLAY";
    }

    // Sends a live or audio transfer request; the media that came before its reply.
    std::vector<Unit> ask(RawClient& c, UnitReader& r, int channel, uint8_t code, bool on) {
        c.send(commandRequest(channel, 4, code, {uint8_t(on), 0, 0, 0}));
        return r.untilReply();
    }

    ConnectionInfo info(int index) { return sim_->connections().at(size_t(index)); }

    std::unique_ptr<DvrSim> sim_;
};

SimOptions smallPictures() {
    SimOptions o;
    o.max_channel = 2;
    o.width = 176;
    o.height = 144;
    o.gop = 10;
    o.loop_frames = 20;
    o.payload_size = 200;  // key frames fragment
    return o;
}

TEST_F(SimMediaWireTest, VideoStartsAtAKeyFrameWithSteadyNumbersAndReports) {
    start(smallPictures());
    const auto began = std::chrono::steady_clock::now();
    RawClient c(sim_->port());
    UnitReader r(c);
    liveHandshake(c, r, 1, true);
    std::vector<Unit> units;
    for (int frames = 0; frames < 25;) {
        std::optional<Unit> u = r.next();
        ASSERT_TRUE(u);
        frames += !u->reply && u->channel == 0 && u->marker();
        units.push_back(std::move(*u));
    }
    sim_->pauseMedia(true);
    for (Unit& u : r.untilQuiet())
        units.push_back(std::move(u));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    const std::vector<Unit> video = onChannel(units, 0);
    const auto aus = accessUnits(video);
    // Every access unit sent arrived whole; nothing else but the reports came.
    EXPECT_EQ(aus.size(), info(0).frames_sent);
    EXPECT_TRUE(onChannel(units, 2).empty()) << "sound nobody asked for";
    for (size_t i = 1; i < video.size(); ++i) {
        ASSERT_EQ(uint16_t(video[i].seq() - video[i - 1].seq()), 1) << i;
    }
    for (size_t k = 0; k < aus.size(); ++k) {
        SCOPED_TRACE(k);
        const auto& au = aus[k];
        for (const Unit& u : au) {
            EXPECT_EQ(u.payloadType(), 96);
            EXPECT_EQ(u.timestamp(), au[0].timestamp());
        }
        if (k > 0) EXPECT_EQ(au[0].timestamp() - aus[k - 1][0].timestamp(), 3000u);  // 90 kHz / 30
        if (k % 10 == 0) {
            // A key frame: SPS and PPS in packets of their own, then the IDR slice in fragments.
            ASSERT_GE(au.size(), 4u);
            EXPECT_EQ(au[0].nalType(), 7);
            EXPECT_EQ(au[1].nalType(), 8);
            EXPECT_EQ(au[2].nalType(), 28);
            EXPECT_EQ(au[2].packet[13], 0x80 | 5);  // FU-A start of an IDR slice
        } else {
            EXPECT_NE(au[0].nalType(), 7);
        }
    }

    const std::vector<Unit> reports = onChannel(units, 1);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.size(), info(0).sender_reports_sent);
    for (const Unit& sr : reports) {
        ASSERT_EQ(sr.packet.size(), 28u);
        EXPECT_EQ(sr.packet[1], 200);
        const int64_t seconds = int64_t(be32(&sr.packet[8]) - kNtpOffset);
        EXPECT_GE(seconds, kDvrTime);
        EXPECT_LE(seconds, kDvrTime + int64_t(elapsed) + 1);
    }
}

TEST_F(SimMediaWireTest, SwitchesStartAndStopVideoAndSound) {
    start(smallPictures());
    RawClient c(sim_->port());
    UnitReader r(c);
    liveHandshake(c, r, 0, false);
    EXPECT_TRUE(r.readFor(300ms).empty()) << "media while both switches are off";

    ask(c, r, 0, kAskAudioTransfer, true);
    std::vector<Unit> units = r.readFor(500ms);
    EXPECT_TRUE(onChannel(units, 0).empty());
    EXPECT_FALSE(onChannel(units, 3).empty()) << "no audio sender report";
    const std::vector<Unit> audio = onChannel(units, 2);
    ASSERT_GE(audio.size(), 10u);
    EXPECT_TRUE(audio[0].marker());  // the talk spurt begins
    for (size_t i = 0; i < audio.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(audio[i].payloadType(), 0);
        ASSERT_EQ(audio[i].packet.size(), 12u + 160u);
        if (i == 0) continue;
        EXPECT_FALSE(audio[i].marker());
        EXPECT_EQ(uint16_t(audio[i].seq() - audio[i - 1].seq()), 1);
        EXPECT_EQ(audio[i].timestamp() - audio[i - 1].timestamp(), 160u);  // 20 ms at 8 kHz
    }

    // Video on, off and on again: each start is a key frame, the numbering goes on.
    ask(c, r, 0, kAskLiveTransfer, true);
    std::vector<Unit> video = onChannel(r.readFor(400ms), 0);
    ASSERT_FALSE(video.empty());
    EXPECT_EQ(video.front().nalType(), 7);
    for (const Unit& u : onChannel(ask(c, r, 0, kAskLiveTransfer, false), 0))
        video.push_back(u);
    // A frame already on its way when the switch was read may still come.
    for (const Unit& u : onChannel(r.readFor(100ms), 0))
        video.push_back(u);
    units = r.readFor(300ms);
    EXPECT_TRUE(onChannel(units, 0).empty()) << "video after it was switched off";
    EXPECT_FALSE(onChannel(units, 2).empty()) << "the sound stopped with the video";
    ask(c, r, 0, kAskLiveTransfer, true);
    const std::vector<Unit> again = onChannel(r.readFor(300ms), 0);
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again.front().nalType(), 7);
    EXPECT_EQ(uint16_t(again.front().seq() - video.back().seq()), 1);

    ask(c, r, 0, kAskAudioTransfer, false);
    r.readFor(100ms);
    EXPECT_TRUE(onChannel(r.readFor(300ms), 2).empty()) << "sound after it was switched off";
}

TEST_F(SimMediaWireTest, AClientThatStopsReadingLosesOnlyItsOwnFrames) {
    SimOptions o;
    o.max_channel = 1;
    o.send_buffer = 8 * 1024;
    o.media_queue_bytes = 32 * 1024;
    start(o);
    RawClient hog(sim_->port(), 4096);
    RawClient reader(sim_->port());
    UnitReader hr(hog), rr(reader);
    liveHandshake(hog, hr, 0, true);
    liveHandshake(reader, rr, 0, true);

    std::atomic<bool> done{false};
    std::vector<Unit> got;
    std::thread drain([&] {
        while (!done) {
            if (std::optional<Unit> u = rr.next(50)) got.push_back(std::move(*u));
        }
    });
    const bool hog_dropped = sim_->waitFor([&] { return info(0).frames_skipped >= 10; }, 8s);
    sim_->pauseMedia(true);
    std::this_thread::sleep_for(500ms);
    done = true;
    drain.join();
    for (Unit& u : rr.untilQuiet())
        got.push_back(std::move(u));
    ASSERT_TRUE(hog_dropped) << info(0).frames_sent << " frames sent, none dropped";

    const ConnectionInfo h = info(0), k = info(1);
    EXPECT_GT(h.packets_dropped, 0u);
    EXPECT_EQ(k.packets_dropped, 0u);
    EXPECT_EQ(k.frames_skipped, 0u);
    // Both streams ran equally long: the reader got a frame for every one the hog was due.
    EXPECT_NEAR(double(k.frames_sent), double(h.frames_sent + h.frames_skipped), 3.0);
    EXPECT_EQ(accessUnits(onChannel(got, 0)).size(), k.frames_sent);
}

}  // namespace
}  // namespace zaq::sim
