// The synchronous reply reader: every reply format it applies, split and bad replies.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "live/SessionThread.h"
#include "protocol/StreamObject.h"
#include "tests/support/test_support.h"

namespace zaq {
namespace {

using test::replyBlock;
using test::rtspReply;

struct Reader : StreamObject {
    test::SocketPair pair;
    Reader() {
        m_socks[0] = pair.a;
        m_rtp_protocol[0] = 1;
        m_ch[0] = 0;
    }
    int feed(int lastCommand, const std::string& reply) {
        m_last_command[0] = lastCommand;
        pair.write(reply);
        return recvRTSP(0);
    }
};

std::string getParamReply(const std::string& block) {
    return rtspReply(3, "Content-Type: text/parameters\r\nSession: 5\r\n", block);
}

struct ReplyCase {
    const char* name;
    int lastCommand;
    std::string reply;
    int expected;
    std::function<void(Reader&)> check;
};

class ReplyFormats : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyFormats, AppliesReply) {
    const ReplyCase& c = GetParam();
    Reader r;
    EXPECT_EQ(r.feed(c.lastCommand, c.reply), c.expected);
    c.check(r);
}

auto version = [](int v, int getParam) {
    return [=](Reader& r) {
        EXPECT_EQ(r.m_protVersion, v);
        EXPECT_EQ(r.m_get_parameter[0], getParam);
    };
};

auto refused = [](int result, const char* text) {
    return ReplyCase{text, CMD_GET_PARAMETER, getParamReply(replyBlock(REPLY_LOGIN, 24, {{16, result}})),
                     -1, [=](Reader& r) {
                         EXPECT_EQ(r.errorString(), text);
                         EXPECT_EQ(r.m_connect_success, 0);
                     }};
};

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyFormats,
    ::testing::Values(
        ReplyCase{"OptionsZaqc008", CMD_OPTIONS,
                  rtspReply(1, "Public: OPTIONS, GET_PARAMETER\r\nUser-Agent: ZAQC-008\r\n"), 0,
                  version(8, 1)},
        ReplyCase{"OptionsOtherAgent51", CMD_OPTIONS,
                  rtspReply(1, "Public: GET_PARAMETER\r\nUser-Agent: ZORMAX-5.1\r\n"), 0,
                  version(5, 1)},
        ReplyCase{"OptionsDigitsStopAtLetter", CMD_OPTIONS,
                  rtspReply(1, "Public: GET_PARAMETER\r\nUser-Agent: ZAQC-12a\r\n"), 0,
                  version(12, 1)},
        ReplyCase{"OptionsNoAgent", CMD_OPTIONS, rtspReply(1, "Public: GET_PARAMETER, PLAY\r\n"), 0,
                  version(1, 1)},
        // The agent is looked for from the first GET_PARAMETER on only.
        ReplyCase{"OptionsAgentBeforeMethods", CMD_OPTIONS,
                  rtspReply(1, "User-Agent: ZAQC-008\r\nPublic: GET_PARAMETER\r\n"), 0,
                  version(1, 1)},
        ReplyCase{"OptionsWithoutGetParameter", CMD_OPTIONS,
                  rtspReply(1, "Public: OPTIONS, PLAY\r\nUser-Agent: ZAQC-008\r\n"), 0,
                  version(-1, 0)},
        ReplyCase{"DescribeVideoAndAudio", CMD_DESCRIBE,
                  rtspReply(2, "", "v=0\r\nm=video 0 RTP/AVP 96\r\nm=audio 0 RTP/AVP 0\r\n"), 0,
                  [](Reader& r) {
                      EXPECT_EQ(r.m_sdp[0].field_count, 2);
                      EXPECT_STREQ(r.m_sdp[0].control[0], "video");
                      EXPECT_STREQ(r.m_sdp[0].control[1], "audio");
                  }},
        ReplyCase{"DescribeAudioOnly", CMD_DESCRIBE, rtspReply(2, "", "m=audio 0 RTP/AVP 0\r\n"), 0,
                  [](Reader& r) {
                      EXPECT_EQ(r.m_sdp[0].field_count, 1);
                      EXPECT_STREQ(r.m_sdp[0].control[0], "");
                      EXPECT_STREQ(r.m_sdp[0].control[1], "audio");
                  }},
        ReplyCase{"DescribeWithoutBody", CMD_DESCRIBE, rtspReply(2), -3,
                  [](Reader& r) { EXPECT_EQ(r.m_last_errno, 0); }},
        ReplyCase{"SetupSession", CMD_SETUP,
                  rtspReply(4, "Session: 8765;timeout=60\r\nTransport: x\r\n"), 0,
                  [](Reader& r) { EXPECT_STREQ(r.m_session[0], "8765;timeout=60"); }},
        ReplyCase{"LoginAccepted", CMD_GET_PARAMETER,
                  getParamReply(replyBlock(REPLY_LOGIN, 24,
                                           {{16, 0}, {17, 200}, {18, 3}, {19, 16}, {20, 1}, {22, 0x90}, {23, 0x1F}})),
                  0,
                  [](Reader& r) {
                      EXPECT_EQ(r.m_loginParam[0].device_type, 200);
                      EXPECT_EQ(r.m_loginParam[0].oem_type, 3);
                      EXPECT_EQ(r.m_loginParam[0].max_channel, 16);
                      EXPECT_EQ(r.m_loginParam[0].user_rights, 1);
                      EXPECT_EQ(r.m_loginParam[0].web_port, 8080);
                      EXPECT_EQ(r.m_connect_success, 1);
                  }},
        refused(-1, "Invalid device"), refused(-2, "Invalid ID"), refused(-3, "Invalid Password"),
        refused(-4, "Max connection"), refused(-5, "Local user access"),
        refused(-6, "Another user access"), refused(-7, "Client access off"),
        refused(-9, "Unsupported DVR"),
        ReplyCase{"KeepAlive112", CMD_GET_PARAMETER,
                  getParamReply(replyBlock(REPLY_KEEPALIVE, 112, {{20, 7}, {24, 1}, {37, 0x01}, {38, 0xBB}})),
                  0,
                  [](Reader& r) {
                      EXPECT_EQ(r.m_websslport, 443);
                      EXPECT_EQ(r.m_keepalive[0].live_time, 7);
                      EXPECT_EQ(r.m_keepalive[0].video, 1);
                  }},
        // The shorter forms leave the secure web port alone; bytes past the block read as 0.
        ReplyCase{"KeepAlive36", CMD_GET_PARAMETER,
                  getParamReply(replyBlock(REPLY_KEEPALIVE, 36, {{32, 9}, {35, 1}})), 0,
                  [](Reader& r) {
                      EXPECT_EQ(r.m_websslport, 0);
                      EXPECT_EQ(r.m_keepalive[0].hdd_space, 9 + (1 << 24));
                      EXPECT_EQ(r.m_keepalive[0].sslLow, 0);
                  }},
        ReplyCase{"KeepAlive32", CMD_GET_PARAMETER,
                  getParamReply(replyBlock(REPLY_KEEPALIVE, 32, {{28, 5}})), 0,
                  [](Reader& r) {
                      EXPECT_EQ(r.m_keepalive[0].audio, 5);
                      EXPECT_EQ(r.m_keepalive[0].hdd_space, 0);
                  }},
        ReplyCase{"KeepAliveOtherLength", CMD_GET_PARAMETER,
                  getParamReply(replyBlock(REPLY_KEEPALIVE, 40, {{20, 7}})), 0,
                  [](Reader& r) { EXPECT_EQ(r.m_keepalive[0].live_time, 0); }},
        ReplyCase{"ChannelName", CMD_GET_PARAMETER,
                  getParamReply(replyBlock(REPLY_CHANNELNAME, 66, {{16, 'G'}, {17, 'a'}, {18, 't'}, {19, 'e'}})),
                  0, [](Reader& r) { EXPECT_EQ(r.channelName(0), "Gate"); }},
        ReplyCase{"InterleavedPacketFirstIsDropped", CMD_OPTIONS, std::string("$\x00\x00\x04" "abcd", 8),
                  0, [](Reader& r) { EXPECT_EQ(r.m_last_errno, 0); }},
        ReplyCase{"GarbageInsteadOfRtsp", CMD_OPTIONS, "HTTP/1.1 200 OK\r\n\r\n", -3,
                  [](Reader& r) { EXPECT_EQ(r.m_last_errno, -3); }},
        // A body longer than the reader's buffer makes the reply unusable.
        ReplyCase{"ContentLength2Pow31", CMD_GET_PARAMETER,
                  "RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Length: 2147483648\r\n\r\n" +
                      replyBlock(REPLY_KEEPALIVE, 112, {{37, 1}, {38, 2}}),
                  -3, [](Reader& r) { EXPECT_EQ(r.m_last_errno, -3); }},
        ReplyCase{"NegativeContentLength", CMD_GET_PARAMETER,
                  "RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Length: -40\r\n\r\n", 0,
                  [](Reader& r) { EXPECT_EQ(r.m_last_errno, 0); }}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (auto& ch : n) if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

TEST(ReplyReader, SplitReplyIsReassembled) {
    Reader r;
    std::string reply = getParamReply(replyBlock(REPLY_LOGIN, 24, {{19, 4}}));
    r.m_last_command[0] = CMD_GET_PARAMETER;
    std::thread writer([&] {
        for (size_t at = 0; at < reply.size(); at += 7) {
            r.pair.write(reply.substr(at, 7));
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    EXPECT_EQ(r.recvRTSP(0), 0);
    writer.join();
    EXPECT_EQ(r.m_loginParam[0].max_channel, 4);
}

// Replies arriving in pieces, the header's end and a long body included, are read whole and
// leave nothing behind for the next reply.
TEST(ReplyReader, LongBodyInPiecesIsReadWhole) {
    Reader r;
    std::string body = "v=0\r\n" + std::string(3000, 'x') + "\r\nm=audio 0 RTP/AVP 0\r\n";
    std::string reply = rtspReply(2, "Content-Type: application/sdp\r\n", body) +
                        rtspReply(3, "Session: 42\r\n");
    r.m_last_command[0] = CMD_DESCRIBE;
    std::thread writer([&] {
        for (size_t at = 0; at < reply.size(); at += 3) {
            r.pair.write(reply.substr(at, 3));
            if (at % 300 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_EQ(r.recvRTSP(0), 0);
    EXPECT_EQ(r.m_sdp[0].field_count, 1);
    r.m_last_command[0] = CMD_SETUP;
    EXPECT_EQ(r.recvRTSP(0), 0);
    writer.join();
    EXPECT_STREQ(r.m_session[0], "42");
}

TEST(ReplyReader, BodyCutShortByClosedConnection) {
    Reader r;
    r.m_last_command[0] = CMD_GET_PARAMETER;
    r.pair.write("RTSP/1.0 200 OK\r\nContent-Length: 56\r\n\r\nZAQC");
    r.pair.closeB();
    EXPECT_EQ(r.recvRTSP(0), -3);
    EXPECT_EQ(r.m_last_errno, -3);
}

TEST(ReplyReader, HeaderLongerThanBufferFails) {
    Reader r;
    r.m_last_command[0] = CMD_OPTIONS;
    std::thread writer([&] { r.pair.write("RTSP/1.0 200 OK\r\nX: " + std::string(70000, 'a')); });
    EXPECT_EQ(r.recvRTSP(0), -3);
    writer.join();
}

TEST(ReplyReader, SilentPeerEndsOnCancel) {
    Reader r;
    r.m_last_command[0] = CMD_OPTIONS;
    std::atomic<int> result{1};
    auto t = std::make_shared<SessionThread>("reader", [&] { result = r.recvRTSP(0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    t->cancel();
    t->join();  // a reader that ignored the cancel would hold this join until the test times out
    EXPECT_EQ(result, -3);
}

TEST(ReplyReader, NoSocket) {
    StreamObject e;
    EXPECT_EQ(e.recvRTSP(0), -1);
}

}  // namespace
}  // namespace zaq
