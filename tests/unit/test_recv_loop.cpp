// The live receive loop on socket pairs: framing and resynchronisation, units split across
// reads, the video packet rules (sequence gaps, NAL classes, stream start, marker, 500-packet
// cap), audio selection, the PLAY rule and replies the loop must survive.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/rtp_session.h"
#include "tests/support/test_support.h"

namespace zaq {
namespace {

using namespace std::chrono_literals;
using test::annexB;
using test::Bytes;
using test::fragments;
using test::nalUnit;
using namespace test::nal;

using Packets = std::vector<Bytes>;

std::string str(const Bytes& b) {
    return std::string(b.begin(), b.end());
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

// The video packets of one connection: consecutive sequence numbers, 3000 ticks per frame.
struct VideoStream {
    uint8_t pt = 96;
    uint16_t seq = 1000;
    uint32_t ts = 90000;

    // The payloads as interleaved RTP packets, the marker on the last one when `marker`.
    Bytes frame(const Packets& payloads, bool marker = true) {
        Bytes out;
        for (size_t i = 0; i < payloads.size(); ++i) {
            bool last = marker && i + 1 == payloads.size();
            Bytes pkt = test::rtpPacket(pt, seq++, ts, last, payloads[i]);
            Bytes unit = test::interleaved(0, pkt);
            out.insert(out.end(), unit.begin(), unit.end());
        }
        ts += 3000;
        return out;
    }
};

// A key frame whose access unit tells it apart from every other frame of a test.
Packets keyFrame(uint8_t tag, bool h265 = false) {
    Bytes idr = h265 ? nalUnit({0x26, 0x01, tag}, 200, tag) : nalUnit({0x65, 0x88, tag}, 200, tag);
    return h265 ? Packets{kVps265, kSps265, kPps265, idr} : Packets{kSps264, kPps264, idr};
}
Bytes keyUnit(uint8_t tag, bool h265 = false) {
    return annexB(keyFrame(tag, h265));
}

// "RTSP/1.0 200 OK" with the given body behind its Content-Length.
std::string reply(const std::string& body) {
    return test::rtspReply(7, "Session: 31\r\n", body);
}

std::string channelNameBlock(const std::string& title) {
    std::string b = test::replyBlock(REPLY_CHANNELNAME, 66);
    b.replace(16, title.size(), title);
    return b;
}

// The command blocks of the GET_PARAMETER requests read from a peer socket.
std::vector<std::string> requestBlocks(const std::string& wire) {
    std::vector<std::string> blocks;
    size_t at = 0;
    while ((at = wire.find("GET_PARAMETER", at)) != std::string::npos) {
        size_t body = wire.find("\r\n\r\n", at);
        if (body == std::string::npos) break;
        blocks.push_back(wire.substr(body + 4, 20));
        at = body;
    }
    return blocks;
}

class RecvLoopTest : public ::testing::Test {
  protected:
    // Runs the loop over `n` connections; every slot past its handshake.
    // `sockets` slots get a connection (n when negative).
    void start(int n = 1, int connected = 0, int sockets = -1) {
        session.resetSession(KIND_LIVE);
        session.m_loginParam[0].max_channel = uint8_t(n);
        for (int s = 0; s < (sockets < 0 ? n : sockets); ++s) {
            session.m_socks[s] = pairs[s].a;
            session.m_last_command[s] = CMD_GET_PARAMETER;
            session.m_get_parameter[s] = 1;
        }
        session.m_connect_success = connected;
        {
            std::lock_guard<std::recursive_mutex> lock(session.m_bufferLock);
            session.m_bIFrame.fill(0);  // every stored unit is read back
        }
        session.startTcpRecvThread();
    }

    void write(int slot, const Bytes& bytes) { pairs[slot].write(str(bytes)); }
    void write(int slot, const std::string& bytes) { pairs[slot].write(bytes); }
    // Gives the loop time to read what was written before the next write.
    static void settle() { std::this_thread::sleep_for(60ms); }

    // Every access unit stored on the slot until one equal to `last` (included) arrives.
    std::vector<Bytes> unitsUntil(const Bytes& last, int slot = 0) {
        std::vector<Bytes> all;
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            for (Bytes& u : session.takeUnits(slot)) {
                all.push_back(std::move(u));
            }
            if (!all.empty() && all.back() == last) return all;
            std::this_thread::sleep_for(2ms);
        }
        ADD_FAILURE() << "the closing access unit never arrived";
        return all;
    }

    bool waitLog(const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!log.contains(text)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    test::LogCapture log;
    test::SocketPair pairs[3];
    test::RtpSession session;  // declared last: its threads end before the sockets close
    VideoStream video;
};

TEST_F(RecvLoopTest, PacketsAndReplyInOneReadAreAllTaken) {
    start();
    // Nothing follows, so whatever the visit leaves unparsed stays so.
    write(0, str(video.frame({kSps264, kPps264}, false)) + reply(channelNameBlock("Gate")) +
                 str(video.frame({kIdr264})));
    EXPECT_EQ(unitsUntil(annexB({kSps264, kPps264, kIdr264})).size(), 1u);
    EXPECT_EQ(session.channelName(0), "Gate");
}

// A frame arriving in two pieces, split at `at` bytes, after `garbage` bytes of noise.
struct SplitCase {
    const char* name;
    std::string garbage;
    size_t at;
};
void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << c.name;
}

class RecvLoopSplit : public RecvLoopTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(RecvLoopSplit, UnitIsParsedWhenItsRestArrives) {
    const SplitCase& c = GetParam();
    start();
    // Zeros read and dropped before: a length field read past the bytes held would be 0.
    write(0, Bytes(16, 0));
    settle();
    Bytes bytes = cat({Bytes(c.garbage.begin(), c.garbage.end()), video.frame(keyFrame(1))});
    write(0, Bytes(bytes.begin(), bytes.begin() + long(c.at)));
    settle();
    write(0, Bytes(bytes.begin() + long(c.at), bytes.end()));
    EXPECT_EQ(unitsUntil(keyUnit(1)).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Splits, RecvLoopSplit,
                         ::testing::Values(SplitCase{"InsidePrefix", "", 2},
                                           SplitCase{"InsideRtpHeader", "", 9},
                                           SplitCase{"InsidePayload", "", 20},
                                           SplitCase{"BetweenPackets", "", 4 + 12 + kSps264.size()},
                                           SplitCase{"AfterGarbageInsidePrefix", "xyz", 5},
                                           SplitCase{"AfterGarbageBeforeLength", "noise!", 7}),
                         [](const auto& info) { return std::string(info.param.name); });

// Bytes before a frame that must not cost the frame.
struct NoiseCase {
    const char* name;
    std::string noise;
    bool alone;  // written and read on its own before the frame
};
void PrintTo(const NoiseCase& c, std::ostream* os) {
    *os << c.name;
}

class RecvLoopNoise : public RecvLoopTest, public ::testing::WithParamInterface<NoiseCase> {};

TEST_P(RecvLoopNoise, FrameAfterNoiseIsStored) {
    const NoiseCase& c = GetParam();
    start();
    if (c.alone) {
        write(0, c.noise);
        settle();
        write(0, video.frame(keyFrame(2)));
    } else {
        write(0, c.noise + str(video.frame(keyFrame(2))));
    }
    EXPECT_EQ(unitsUntil(keyUnit(2)).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Noise, RecvLoopNoise,
    ::testing::Values(
        NoiseCase{"Garbage", "garbage \x01\x02 RTS", false},
        NoiseCase{"GarbageOnly", std::string(3000, 'g'), true},
        // '$' with channel 4: no unit start, so its "length" swallows nothing.
        NoiseCase{"DollarChannel4", std::string("$\x04\x00\x10", 4), false},
        NoiseCase{"HeaderOver1024Bytes",
                  "RTSP/1.0 200 OK\r\nX-Pad: " + std::string(1100, 'p') + "\r\n\r\n", false},
        NoiseCase{"ContentLength2Pow31", "RTSP/1.0 200 OK\r\nContent-Length: 2147483648\r\n\r\n",
                  false},
        NoiseCase{"ContentLengthPast64Bits",
                  "RTSP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", false},
        NoiseCase{"ContentLengthNegative", "RTSP/1.0 200 OK\r\nContent-Length: -5\r\n\r\n", false},
        // Audio and RTCP packets too short to read: consumed, nothing else.
        NoiseCase{"EmptyAudioPacket", std::string("$\x02\x00\x00", 4), false},
        NoiseCase{"ShortRtcpPacket", std::string("$\x01\x00\x0b", 4) + "01234567890", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecvLoopTest, LongReplyHeaderIsDroppedAndLogged) {
    start();
    write(0, "RTSP/1.0 200 OK\r\nX-Pad: " + std::string(1100, 'p') + "\r\n\r\n");
    EXPECT_TRUE(waitLog("reply header over 1024 bytes dropped"));
}

// Sequence number `next` after a key frame ending at `last`: a loss drops every frame up to
// the next key frame.
struct SeqCase {
    const char* name;
    uint16_t last;
    uint16_t next;
    bool loss;
};
void PrintTo(const SeqCase& c, std::ostream* os) {
    *os << c.name;
}

class RecvLoopSequence : public RecvLoopTest, public ::testing::WithParamInterface<SeqCase> {};

TEST_P(RecvLoopSequence, GapDropsUntilTheNextKeyFrame) {
    const SeqCase& c = GetParam();
    start();
    video.seq = uint16_t(c.last - 2);
    Bytes bytes = video.frame(keyFrame(3));
    video.seq = c.next;
    bytes = cat({bytes, video.frame({kP264}), video.frame({kP264}), video.frame(keyFrame(4))});
    write(0, bytes);
    std::vector<Bytes> units = unitsUntil(keyUnit(4));
    std::vector<Bytes> expected = {keyUnit(3), annexB({kP264}), annexB({kP264}), keyUnit(4)};
    if (c.loss) expected = {keyUnit(3), keyUnit(4)};
    EXPECT_EQ(units, expected);
    EXPECT_EQ(log.contains("payload loss : " + std::to_string(c.next)), c.loss);
}

INSTANTIATE_TEST_SUITE_P(
    Sequence, RecvLoopSequence,
    ::testing::Values(SeqCase{"Step", 100, 101, false}, SeqCase{"Gap", 100, 102, true},
                      SeqCase{"Wrap", 65535, 0, false}, SeqCase{"GapAcrossWrap", 65535, 1, true},
                      SeqCase{"GapAfterZero", 0, 2, true}, SeqCase{"StepBack", 100, 90, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Units that throw away what the slot holds and restart its stream: the frame written with
// them and the next frame without a parameter set are lost.
struct BreakCase {
    const char* name;
    bool h265;
    int pt;  // payload type of a video packet carrying `bytes`; -1: `bytes` is the unit
    Bytes bytes;
    const char* logLine;
};
void PrintTo(const BreakCase& c, std::ostream* os) {
    *os << c.name;
}

class RecvLoopBreak : public RecvLoopTest, public ::testing::WithParamInterface<BreakCase> {};

TEST_P(RecvLoopBreak, DropsHeldBytesAndWaitsForKeyFrame) {
    const BreakCase& c = GetParam();
    bool h265 = c.h265;
    video.pt = h265 ? 98 : 96;
    start();
    Bytes first = video.frame(keyFrame(5, h265));
    Bytes unit = c.bytes;
    if (c.pt >= 0) {
        unit = test::interleaved(0, test::rtpPacket(uint8_t(c.pt), video.seq++, 0, false, c.bytes));
    }
    write(0, cat({first, unit, video.frame(keyFrame(6, h265))}));
    ASSERT_TRUE(waitLog(c.logLine));
    write(0, cat({video.frame({h265 ? kTrail265 : kP264}), video.frame(keyFrame(7, h265))}));
    EXPECT_EQ(unitsUntil(keyUnit(7, h265)),
              (std::vector<Bytes>{keyUnit(5, h265), keyUnit(7, h265)}));
}

INSTANTIATE_TEST_SUITE_P(
    Breaks, RecvLoopBreak,
    ::testing::Values(
        BreakCase{"H264AccessUnitDelimiter", false, 96, kAud264, "rtp[ 12 ] == [9] ERROR"},
        BreakCase{"H265Cra", true, 98, kCra265, "rtp[ 12 ] == [42] ERROR"},
        BreakCase{"UnknownPayloadType", false, 97, kIdr264, "rtp[ 12 ] == [101] ERROR"},
        BreakCase{"ZeroLength", false, -1, {'$', 0, 0, 0}, "ch : 0, rif_length 0"},
        BreakCase{"ElevenBytes", false, -1, cat({{'$', 0, 0, 11}, Bytes(11, 0x80)}),
                  "ch : 0, rif_length 11"},
        BreakCase{"HeaderWithoutNal", false, -1, cat({{'$', 0, 0, 12}, Bytes(12, 0x80)}),
                  "ch : 0, rif_length 12"}),
    [](const auto& info) { return std::string(info.param.name); });

// A stream is taken from its first parameter-set frame on: SPS for H.264, VPS for H.265.
struct StartCase {
    const char* name;
    uint8_t pt;
    Packets first;  // refused
};
void PrintTo(const StartCase& c, std::ostream* os) {
    *os << c.name;
}

class RecvLoopStart : public RecvLoopTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(RecvLoopStart, FramesBeforeTheFirstParameterSetAreIgnored) {
    const StartCase& c = GetParam();
    bool h265 = c.pt == 98;
    video.pt = c.pt;
    start();
    write(0, cat({video.frame(c.first), video.frame(keyFrame(8, h265))}));
    EXPECT_EQ(unitsUntil(keyUnit(8, h265)).size(), 1u);
    EXPECT_TRUE(log.contains("SPS found ERROR"));
}

INSTANTIATE_TEST_SUITE_P(Start, RecvLoopStart,
                         ::testing::Values(StartCase{"H264Slice", 96, {kP264}},
                                           StartCase{"H264PpsFirst", 96, {kPps264, kIdr264}},
                                           StartCase{
                                               "H265SpsFirst", 98, {kSps265, kPps265, kIdr265}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecvLoopTest, SeiAtMarkerTravelsWithTheNextFrame) {
    start();
    write(0, cat({video.frame(keyFrame(9)), video.frame({kSei264}), video.frame({kP264})}));
    Bytes last = annexB({kSei264, kP264});
    EXPECT_EQ(unitsUntil(last), (std::vector<Bytes>{keyUnit(9), last}));
}

// A frame of `count` packets (SPS and fragments), the marker on the last one.
struct CapCase {
    const char* name;
    size_t count;
    bool stored;
};
void PrintTo(const CapCase& c, std::ostream* os) {
    *os << c.name;
}

class RecvLoopCap : public RecvLoopTest, public ::testing::WithParamInterface<CapCase> {};

TEST_P(RecvLoopCap, FrameOfTooManyPacketsIsDropped) {
    const CapCase& c = GetParam();
    start();
    Packets big = {kSps264};
    Packets f = fragments(kIdr264, c.count - 1, false);
    big.insert(big.end(), f.begin(), f.end());
    write(0, cat({video.frame(big), video.frame({kP264}), video.frame(keyFrame(10))}));
    std::vector<Bytes> units = unitsUntil(keyUnit(10));
    std::vector<Bytes> expected = {keyUnit(10)};
    if (c.stored) expected = {annexB({kSps264, kIdr264}), annexB({kP264}), keyUnit(10)};
    EXPECT_EQ(units, expected);
    EXPECT_EQ(log.contains("MAX_PAYLOAD_COUNT ERROR"), !c.stored);
}

INSTANTIATE_TEST_SUITE_P(Cap, RecvLoopCap,
                         ::testing::Values(CapCase{"Packets499", 499, true},
                                           CapCase{"Packets500", 500, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecvLoopTest, OnlyTheSelectedChannelsAudioIsPlayed) {
    session.m_selCh = 1;
    start(2);
    Bytes audio0 = test::interleaved(2, test::rtpPacket(0, 1, 0, false, Bytes(160, 0x10)));
    Bytes audio1 = test::interleaved(2, test::rtpPacket(0, 1, 0, false, Bytes(160, 0x21)));
    write(0, cat({audio0, video.frame(keyFrame(11))}));
    unitsUntil(keyUnit(11));
    write(1, audio1);
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (session.audioPackets().empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(session.audioPackets(), (std::vector<Bytes>{Bytes(160, 0x21)}));
}

TEST_F(RecvLoopTest, SingleConnectionSwitchesVideoOnAtOnce) {
    // Slot 1 has bytes waiting, but a DVR of one channel has no slot 1.
    write(1, video.frame(keyFrame(12)));
    start(1, 1, 2);
    std::string wire = pairs[0].drain(500ms);
    std::vector<std::string> blocks = requestBlocks(wire);
    ASSERT_FALSE(blocks.empty()) << wire;
    EXPECT_EQ(blocks[0][8], ASK_LIVETRANSFER);
    EXPECT_EQ(blocks[0][16], 1) << "video on";
    // The keep-alive sender follows about a second later.
    wire = pairs[0].drain(2500ms);
    blocks = requestBlocks(wire);
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks[0][8], ASK_KEEPALIVE);
    EXPECT_TRUE(session.takeUnits(1).empty());
    int waiting = 0;
    ioctl(pairs[1].a, FIONREAD, &waiting);
    EXPECT_GT(waiting, 0);
}

TEST_F(RecvLoopTest, PlayRuleSkipsTheBodyOfTheReplyItTakes) {
    // The live-transfer reply meets the PLAY rule; its session number holds "$\x01", which
    // read as an RTCP packet of 65535 bytes would swallow the frame behind it.
    start(2, 1);
    session.m_last_command[1] = CMD_PLAY;
    std::string block =
        test::replyBlock(REPLY_LIVETRANSFER, 20, {{12, '$'}, {13, 1}, {14, 0xFF}, {15, 0xFF}});
    write(1, reply(block) + str(video.frame(keyFrame(13))));
    EXPECT_EQ(unitsUntil(keyUnit(13), 1).size(), 1u);
}

}  // namespace
}  // namespace zaq
