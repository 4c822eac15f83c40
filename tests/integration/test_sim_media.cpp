// The simulated DVR's media against the real live session: every frame it sends is assembled and
// decoded at its size, the DVR clock of its sender reports reaches the window, sound flows only
// once asked for, and its faults (sequence gaps, dropped connections, garbage) do what a broken
// DVR or network does to the client.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "protocol/records.h"
#include "sim/dvr_sim.h"
#include "tests/support/session_harness.h"

namespace zaq {
namespace {

using namespace std::chrono_literals;
using sim::ConnectionInfo;
using sim::DvrSim;
using sim::SimOptions;
using sim::VideoCodec;
using test::SessionHarness;
using Clock = std::chrono::steady_clock;

constexpr int64_t kDvrTime = 1796977800;  // 2026-12-11 08:30:00 UTC

SimOptions mediaOptions(int channels, VideoCodec codec = VideoCodec::H264) {
    SimOptions o;
    o.port = 0;
    o.max_channel = channels;
    o.codec = codec;
    o.width = 320;
    o.height = 240;
    o.fps = 30;
    o.gop = 30;
    o.loop_frames = 30;
    o.dvr_time = kDvrTime;
    return o;
}

// The open connection that serves DVR channel `ch` (slot ch of the client).
ConnectionInfo connectionOf(const DvrSim& sim, int ch) {
    auto all = sim.connections();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (it->open && it->channel == ch) return *it;
    }
    return {};
}

// A session of `channels` slots whose every connection already receives video.
struct MediaSession {
    explicit MediaSession(SimOptions o) : sim(std::move(o)) {}

    void start() {
        sim_started = Clock::now();
        ASSERT_TRUE(sim.start());
        std::string why;
        ASSERT_TRUE(sim.waitForMedia(60s, &why)) << why;
        started = Clock::now();
        h.connect("127.0.0.1", sim.port());
        ASSERT_TRUE(h.waitUp()) << h.status();
        const int n = sim.options().max_channel;
        ASSERT_TRUE(h.runUntil(
            [&] {
                for (int ch = 0; ch < n; ++ch) {
                    if (connectionOf(sim, ch).frames_sent == 0) return false;
                }
                return true;
            },
            10s));
    }

    // Runs the session for `d`, then stops the simulator's media and lets the client take in
    // everything that was sent.
    void streamFor(std::chrono::milliseconds d) {
        h.runUntil([] { return false; }, d);
        sim.pauseMedia(true);
    }

    uint64_t stored(int slot) const { return h.dialog->m_framesStored[size_t(slot)]; }

    DvrSim sim;
    SessionHarness h;
    Clock::time_point sim_started;  // the DVR clock reads kDvrTime here
    Clock::time_point started;
};

struct StreamCase {
    const char* name;
    VideoCodec codec;
    int channels;
    int seconds;
};

class SimMediaStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(SimMediaStream, EveryFrameSentIsAssembledAndDecodedAtItsSize) {
    const StreamCase& c = GetParam();
    MediaSession s(mediaOptions(c.channels, c.codec));
    ASSERT_NO_FATAL_FAILURE(s.start());
    s.streamFor(std::chrono::seconds(c.seconds));

    for (int ch = 0; ch < c.channels; ++ch) {
        SCOPED_TRACE(ch);
        const ConnectionInfo info = connectionOf(s.sim, ch);
        // 30 frames a second, give or take a scheduling hiccup.
        EXPECT_GE(info.frames_sent, uint64_t(27 * c.seconds));
        EXPECT_EQ(info.frames_skipped, 0u);
        EXPECT_EQ(info.packets_dropped, 0u);
        // Nothing is sent any more: the client must end up with exactly what was.
        s.h.runUntil([&] { return s.stored(ch) >= info.frames_sent; }, 10s);
        EXPECT_EQ(s.stored(ch), info.frames_sent);
        EXPECT_TRUE(
            s.h.runUntil([&] { return s.h.dialog->decoders().cur_width[size_t(ch)] == 320; }));
        EXPECT_EQ(s.h.dialog->decoders().cur_height[size_t(ch)], 240);
    }
    EXPECT_EQ(s.h.dialog->m_last_errno, 0);
    EXPECT_EQ(s.h.dialog->m_payload_type, c.codec == VideoCodec::H265 ? 98 : 96);
}

INSTANTIATE_TEST_SUITE_P(Codecs, SimMediaStream,
                         ::testing::Values(StreamCase{"H264", VideoCodec::H264, 4, 3},
                                           StreamCase{"H265", VideoCodec::H265, 1, 3},
                                           // A full DVR for half a minute: nothing may be lost.
                                           StreamCase{"H264Sixteen30s", VideoCodec::H264, 16, 30}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimMediaClock, SenderReportsCarryTheDvrTimeAsItAdvances) {
    MediaSession s(mediaOptions(2));
    ASSERT_NO_FATAL_FAILURE(s.start());
    // A report a second per connection: after three seconds at least two more have come.
    const uint64_t reports = connectionOf(s.sim, 0).sender_reports_sent;
    s.h.runUntil([] { return false; }, 3s);
    EXPECT_GE(connectionOf(s.sim, 0).sender_reports_sent, reports + 2);

    // The newest report left within the last second, with the DVR time of that moment.
    const int64_t shown = s.h.dialog->latestDvrTime();
    const double elapsed = std::chrono::duration<double>(Clock::now() - s.sim_started).count();
    EXPECT_GE(shown, kDvrTime + int64_t(elapsed) - 2);
    EXPECT_LE(shown, kDvrTime + int64_t(elapsed));
    // The window shows it as UTC.
    EXPECT_TRUE(s.h.runUntil([&] { return s.h.status().starts_with("2026-12-11 08:30:"); }))
        << s.h.status();
}

TEST(SimMediaAudio, SoundFlowsOnlyWhileAudioTransferIsOn) {
    // Headless machines have no sound card: SDL's dummy output still takes the chunks.
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    MediaSession s(mediaOptions(2));
    ASSERT_NO_FATAL_FAILURE(s.start());
    s.h.runUntil([] { return false; }, 500ms);
    for (int ch = 0; ch < 2; ++ch)
        EXPECT_EQ(connectionOf(s.sim, ch).audio_packets_sent, 0u) << ch;
    EXPECT_EQ(s.h.dialog->audio().buffersQueued(), 0);

    // The selected channel (slot 0) asks for its sound.
    s.h.dialog->m_liveParam[0].audio = 1;
    ASSERT_EQ(s.h.dialog->GET_PARAMETER(0, ASK_AUDIOTRANSFER), 0);
    // 20 ms a packet: a second brings about fifty.
    ASSERT_TRUE(s.h.runUntil([&] { return connectionOf(s.sim, 0).audio_packets_sent >= 50; }));
    EXPECT_EQ(connectionOf(s.sim, 1).audio_packets_sent, 0u);
    ASSERT_TRUE(s.h.dialog->audio().hasDevice());
    EXPECT_TRUE(s.h.runUntil([&] { return s.h.dialog->audio().buffersQueued() >= 25; }));

    s.h.dialog->m_liveParam[0].audio = 0;
    ASSERT_EQ(s.h.dialog->GET_PARAMETER(0, ASK_AUDIOTRANSFER), 0);
    ASSERT_TRUE(s.sim.waitFor([&] { return !connectionOf(s.sim, 0).audio; }, 5s));
    const uint64_t after_off = connectionOf(s.sim, 0).audio_packets_sent;
    s.h.runUntil([] { return false; }, 300ms);
    EXPECT_LE(connectionOf(s.sim, 0).audio_packets_sent, after_off + 1);
}

TEST(SimMediaFaults, SequenceGapDropsFramesUntilTheNextKeyFrameAndTheSessionGoesOn) {
    SimOptions o = mediaOptions(1);
    o.seq_gap_every = 100;
    MediaSession s(o);
    ASSERT_NO_FATAL_FAILURE(s.start());
    s.streamFor(4s);
    const ConnectionInfo info = connectionOf(s.sim, 0);
    ASSERT_GE(info.sequence_gaps, 1u);
    // Let the client take in what was sent: the count stays put for half a second.
    uint64_t seen = s.stored(0);
    for (int still = 0; still < 5; seen = s.stored(0)) {
        s.h.runUntil([] { return false; }, 100ms);
        still = s.stored(0) == seen ? still + 1 : 0;
    }
    const uint64_t lost = info.frames_sent - s.stored(0);
    // Each gap costs the frame it falls in and what follows up to the next key frame; when it
    // falls on a key frame's first packet, that whole GOP too.
    EXPECT_GE(lost, info.sequence_gaps);
    EXPECT_LE(lost, info.sequence_gaps * uint64_t(2 * o.gop + 1));
    // Only whole frames reached the decoder, and it took every one.
    EXPECT_TRUE(s.h.runUntil(
        [&] { return s.h.dialog->decoders().framesDecoded[0].load() == s.stored(0); }));
    EXPECT_EQ(s.h.dialog->m_last_errno, 0);

    s.sim.pauseMedia(false);
    EXPECT_TRUE(s.h.runUntil([&] { return s.stored(0) >= seen + 30; }));
}

TEST(SimMediaFaults, GarbageBetweenUnitsIsSkipped) {
    SimOptions o = mediaOptions(2);
    o.garbage_every = 3;
    MediaSession s(o);
    ASSERT_NO_FATAL_FAILURE(s.start());
    s.streamFor(2s);
    for (int ch = 0; ch < 2; ++ch) {
        SCOPED_TRACE(ch);
        const ConnectionInfo info = connectionOf(s.sim, ch);
        EXPECT_GT(info.garbage_units, 10u);
        s.h.runUntil([&] { return s.stored(ch) >= info.frames_sent; }, 10s);
        EXPECT_EQ(s.stored(ch), info.frames_sent);
    }
}

TEST(SimMediaFaults, DroppedConnectionsEndTheSessionWithItsTextAndANewOneComesUp) {
    SimOptions o = mediaOptions(2);
    o.drop_after = 2s;
    DvrSim sim(o);
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(sim.waitForMedia(60s));
    SessionHarness h;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        h.connect("127.0.0.1", sim.port());
        ASSERT_TRUE(h.waitUp()) << h.status();
        // The receive loop finds the connection gone and ends the session.
        ASSERT_TRUE(h.runUntil([&] { return h.dialog->m_last_errno < 0; }, 10s));
        EXPECT_EQ(h.dialog->m_last_errno, -2);
        EXPECT_GT(h.dialog->m_framesStored[0].load(), 0u);
        // The window takes the dead session down by itself and says so.
        ASSERT_TRUE(h.waitIdle());
        EXPECT_EQ(h.status(), "Connection Failed");
        EXPECT_EQ(h.connectButton.title(), "Connect");
    }
    auto conns = sim.connections();
    EXPECT_EQ(conns.size(), 4u);
    EXPECT_TRUE(std::all_of(conns.begin(), conns.end(), [](auto& c) { return c.dropped; }));
}

}  // namespace
}  // namespace zaq
