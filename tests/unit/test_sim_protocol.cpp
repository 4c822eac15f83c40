// Byte layouts of the simulated DVR's replies, read over raw TCP: the offsets, lengths and line
// orders the client relies on.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/dvr_sim.h"
#include "test_sim_client.h"

namespace zaq::sim {
namespace {

using simtest::commandRequest;
using simtest::loginPayload;
using simtest::RawClient;
using simtest::RawReply;
using simtest::rtspRequest;

class SimProtocolTest : public ::testing::Test {
  protected:
    void start(SimOptions options = {}) {
        options.port = 0;
        options.media = false;  // replies only: no pictures to encode
        sim_ = std::make_unique<DvrSim>(std::move(options));
        std::string error;
        ASSERT_TRUE(sim_->start(&error)) << error;
    }

    // Sends one request on a fresh connection and returns its reply.
    RawReply askOnce(const std::vector<uint8_t>& request) {
        RawClient c(sim_->port());
        EXPECT_TRUE(c.connected());
        c.send(request);
        auto reply = c.readReply();
        EXPECT_TRUE(reply.has_value());
        return reply.value_or(RawReply{});
    }
    RawReply askOnce(const std::string& request) {
        return askOnce(std::vector<uint8_t>(request.begin(), request.end()));
    }

    std::unique_ptr<DvrSim> sim_;
};

// Every "control:" value of a description, in order, as the client's receive loop takes them.
std::vector<std::string> controls(const std::vector<uint8_t>& body) {
    std::string text(body.begin(), body.end());
    std::vector<std::string> out;
    for (size_t at = text.find("control:"); at != std::string::npos;
         at = text.find("control:", at + 1)) {
        size_t from = at + 8;
        out.push_back(text.substr(from, text.find_first_of("\r\n", from) - from));
    }
    return out;
}

TEST_F(SimProtocolTest, OptionsPutsTheVersionAfterTheMethodList) {
    struct Case {
        bool announce;
        int version;
        const char* agent;
    };
    for (const Case& c :
         {Case{true, 8, "User-Agent: ZAQC-008"}, Case{false, 5, "User-Agent: ZAQC-005"}}) {
        SCOPED_TRACE(c.agent);
        SimOptions o;
        o.announce_get_parameter = c.announce;
        o.protocol_version = c.version;
        start(std::move(o));
        RawReply r = askOnce(rtspRequest("OPTIONS", "rtsp://127.0.0.1", 65537));
        EXPECT_TRUE(r.header.starts_with("RTSP/1.0 200 OK\r\nCSeq: 65537\r\n")) << r.header;
        size_t get_parameter = r.header.find("GET_PARAMETER");
        size_t agent = r.header.find(c.agent);
        ASSERT_NE(agent, std::string::npos) << r.header;
        if (c.announce) {
            ASSERT_NE(get_parameter, std::string::npos);
            EXPECT_LT(get_parameter, agent);  // the client searches from GET_PARAMETER on
        } else {
            EXPECT_EQ(get_parameter, std::string::npos);
        }
        EXPECT_TRUE(r.body.empty());
        sim_->stop();
    }
}

TEST_F(SimProtocolTest, DescribeNamesOneControlPerStream) {
    struct Case {
        VideoCodec codec;
        bool audio;
        const char* video_line;
        std::vector<std::string> controls;
    };
    const Case cases[] = {
        {VideoCodec::H264, true, "m=video 0 RTP/AVP 96", {"video", "audio"}},
        {VideoCodec::H265, true, "m=video 0 RTP/AVP 98", {"video", "audio"}},
        {VideoCodec::H264, false, "m=video 0 RTP/AVP 96", {"video"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.video_line + std::string(c.audio ? " with audio" : ""));
        SimOptions o;
        o.codec = c.codec;
        o.audio = c.audio;
        start(std::move(o));
        RawReply r = askOnce(rtspRequest("DESCRIBE", "rtsp://127.0.0.1/Live/Channel=3", 2,
                                         "Accept: application/sdp\r\n"));
        EXPECT_EQ(r.field("Content-Type"), "application/sdp");
        ASSERT_FALSE(r.body.empty());
        EXPECT_LT(r.body.size(), 1024u);  // the client's description area
        std::string sdp(r.body.begin(), r.body.end());
        EXPECT_NE(sdp.find(c.video_line), std::string::npos) << sdp;
        EXPECT_EQ(sdp.find("m=audio") != std::string::npos, c.audio);
        EXPECT_EQ(controls(r.body), c.controls);
        sim_->stop();
    }
}

TEST_F(SimProtocolTest, SetupPlayAndPlainGetParameterCarryTheirLines) {
    start();
    RawClient c(sim_->port());
    c.send(rtspRequest("SETUP", "rtsp://127.0.0.1:5445/video", 3,
                       "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"));
    auto setup = c.readReply();
    ASSERT_TRUE(setup);
    auto session = setup->field("Session");
    ASSERT_TRUE(session);
    EXPECT_GT(std::atoi(session->c_str()), 0);
    EXPECT_EQ(session->find_first_not_of("0123456789"), std::string::npos) << *session;
    EXPECT_EQ(setup->field("Transport"), "RTP/AVP/TCP;unicast;interleaved=0-1");

    // Later requests carry slot 0's session number, whichever connection they go to.
    c.send(rtspRequest("PLAY", "rtsp://127.0.0.1/Live/Channel=0", 4,
                       "Session: 42\r\nRange: npt=0.000-\r\n"));
    auto play = c.readReply();
    ASSERT_TRUE(play);
    EXPECT_TRUE(play->header.starts_with("RTSP/1.0 200 OK\r\nCSeq: 4\r\n"));
    EXPECT_EQ(play->field("Session"), "42");
    EXPECT_EQ(play->field("Range"), "npt=0.000-");

    c.send(rtspRequest("GET_PARAMETER", "rtsp://127.0.0.1/Live/Channel=0", 5, "Session: 42\r\n"));
    auto keepalive = c.readReply();
    ASSERT_TRUE(keepalive);
    EXPECT_EQ(keepalive->field("Session"), "42");
    EXPECT_FALSE(keepalive->field("Content-Length"));
    EXPECT_TRUE(keepalive->body.empty());
}

TEST_F(SimProtocolTest, LoginReplyFieldsAtTheirOffsets) {
    SimOptions o;
    o.device_type = 201;
    o.oem_type = 3;
    o.max_channel = 9;
    o.user_rights = 7;
    o.web_port = 8080;
    start(std::move(o));
    RawReply r = askOnce(commandRequest(0, 4, 16, loginPayload("usher", "7394"), 777));
    EXPECT_EQ(r.field("Content-Type"), "text/parameters");
    ASSERT_GE(r.body.size(), 24u);
    EXPECT_EQ(r.field("Content-Length"), std::to_string(r.body.size()));
    EXPECT_EQ(std::string(r.body.begin(), r.body.begin() + 4), "ZAQC");
    EXPECT_EQ(r.le32(4), r.body.size());
    EXPECT_EQ(r.at(8), 17);  // REPLY_LOGIN
    EXPECT_EQ(r.at(9), 1);
    EXPECT_EQ(r.at(10), 8);  // protocol version
    EXPECT_EQ(r.at(11), 0);
    EXPECT_EQ(r.le32(12), 777u);  // the session number sent
    EXPECT_EQ(r.at(16), 0);       // accepted
    EXPECT_EQ(r.at(17), 201);
    EXPECT_EQ(r.at(18), 3);
    EXPECT_EQ(r.at(19), 9);
    EXPECT_EQ(r.at(20), 7);
    EXPECT_EQ(r.le16(22), 8080);
}

TEST_F(SimProtocolTest, LoginResultFromCredentialsAndForcedPerChannel) {
    SimOptions o;
    o.user_id.emplace("administrator-of-dvr-7");  // 22 characters: only the first 20 travel
    o.password.emplace("1234");
    o.login_result = {{3, -2}, {4, -7}, {5, 0}};
    start(std::move(o));
    struct Case {
        int channel;
        const char* id;
        const char* password;
        int result;
    };
    const Case cases[] = {
        {0, "administrator-of-dvr", "1234", 0},  // 20 bytes, no terminator
        {0, "administrator-of-dv", "1234", -2},  // a prefix is not the ID
        {0, "administrator-of-dvr", "4321", -3},
        {0, "guest", "4321", -2},                 // the ID is checked first
        {3, "administrator-of-dvr", "1234", -2},  // forced
        {4, "administrator-of-dvr", "1234", -7},
        {5, "guest", "0000", 0},  // forced success overrides the check
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.channel) + " " + c.id + "/" + c.password);
        RawReply r = askOnce(commandRequest(c.channel, 4, 16, loginPayload(c.id, c.password)));
        EXPECT_EQ(r.at(8), 17);
        EXPECT_EQ(int8_t(r.at(16)), c.result);
        // A refusal tells nothing about the DVR.
        EXPECT_EQ(r.at(19), c.result < 0 ? 0 : 16);
    }
}

TEST_F(SimProtocolTest, KeepAliveFormsAndTheSecurePort) {
    struct Case {
        int form;
        uint16_t ssl_port;
    };
    for (const Case& c : {Case{112, 443}, Case{112, 8443}, Case{36, 443}, Case{32, 443}}) {
        SCOPED_TRACE(std::to_string(c.form) + " " + std::to_string(c.ssl_port));
        SimOptions o;
        o.keepalive_form = c.form;
        o.secure_web_port = c.ssl_port;
        start(std::move(o));
        RawReply r = askOnce(commandRequest(0, 9, 19));
        ASSERT_EQ(r.body.size(), size_t(c.form));
        EXPECT_EQ(r.le32(4), uint32_t(c.form));
        EXPECT_EQ(r.at(8), 20);  // REPLY_KEEPALIVE
        EXPECT_EQ(r.at(16), 0);
        if (c.form == 112) {
            // Status record at 20..39: sslHigh is byte 37, sslLow byte 38.
            EXPECT_EQ(r.at(37) * 256 + r.at(38), c.ssl_port);
            for (size_t i = 40; i < 112; ++i)
                ASSERT_EQ(r.at(i), 0) << i;
        }
        sim_->stop();
    }
}

TEST_F(SimProtocolTest, ChannelNameFillsBytes16To65) {
    const std::string fifty(50, 'T');
    SimOptions o;
    o.titles = {{2, "Gate"}, {4, fifty}};
    start(std::move(o));
    struct Case {
        int channel;
        std::string title;
    };
    for (const Case& c : {Case{2, "Gate"}, Case{0, "CH-01"}, Case{4, fifty}}) {
        SCOPED_TRACE(c.channel);
        RawReply r = askOnce(commandRequest(c.channel, 7, 55));
        ASSERT_EQ(r.body.size(), 66u);
        EXPECT_EQ(r.at(8), 56);  // REPLY_CHANNELNAME
        std::string expected = c.title;
        expected.resize(50, '\0');
        EXPECT_EQ(std::string(r.body.begin() + 16, r.body.end()), expected);
    }
}

TEST_F(SimProtocolTest, EachCommandGetsItsReplyCodeAndLength) {
    start();
    struct Case {
        uint8_t ask;
        std::vector<uint8_t> payload;
        int reply;  // -1: answered without a body
        size_t length;
    };
    const Case cases[] = {
        {22, {1, 0, 0, 0}, 24, 20},  // ASK_LIVETRANSFER
        {25, std::vector<uint8_t>(20), 32, 20},
        {33, {0, 0, 0, 0}, 34, 24},   // day mask at 20..23
        {35, {0, 0, 0, 0}, 36, 778},  // time line at 28..777
        {37, {5, 1, 0, 0}, 38, 20},
        {39, std::vector<uint8_t>(16), 40, 20},
        {41, {1, 1, 0, 0}, 48, 20},
        {49, {1, 0, 0, 0}, 50, 20},
        {17, {}, -1, 0},  // a reply code sent by mistake: not a command
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.ask));
        RawReply r = askOnce(commandRequest(1, 11, c.ask, c.payload));
        EXPECT_TRUE(r.header.starts_with("RTSP/1.0 200 OK\r\nCSeq: 11\r\n"));
        if (c.reply < 0) {
            EXPECT_TRUE(r.body.empty());
            EXPECT_FALSE(r.field("Content-Type"));
            continue;
        }
        ASSERT_EQ(r.body.size(), c.length);
        EXPECT_EQ(r.le32(4), c.length);
        EXPECT_EQ(r.at(8), c.reply);
        EXPECT_EQ(r.at(16), 0);
    }
}

TEST_F(SimProtocolTest, ConnectionRemembersLiveAudioAndPtzRequests) {
    start();
    RawClient c(sim_->port());
    const std::vector<std::vector<uint8_t>> requests = {
        commandRequest(6, 1, 22, {1, 0, 0, 0}),  // video on
        commandRequest(6, 2, 49, {1, 0, 0, 0}),  // audio on
        commandRequest(6, 3, 37, {uint8_t(-3), 2, 0, 0}),
        commandRequest(6, 4, 22, {0, 0, 0, 0}),  // video off again
    };
    for (const auto& req : requests) {
        c.send(req);
        ASSERT_TRUE(c.readReply());
    }
    auto info = sim_->connections();
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].channel, 6);
    EXPECT_EQ(info[0].kind, 1);  // Live
    EXPECT_FALSE(info[0].video);
    EXPECT_TRUE(info[0].audio);
    EXPECT_EQ(info[0].ptz_commands, 1);
    EXPECT_EQ(info[0].ptz_cmd, -3);
    EXPECT_EQ(info[0].ptz_preset, 2);
}

TEST_F(SimProtocolTest, SplitWritesDeliverTheSameBytes) {
    const std::vector<std::string> requests = {
        rtspRequest("OPTIONS", "rtsp://127.0.0.1", 1),
        rtspRequest("DESCRIBE", "rtsp://127.0.0.1/Live/Channel=2", 2,
                    "Accept: application/sdp\r\n"),
    };
    const std::vector<std::vector<uint8_t>> commands = {
        commandRequest(2, 3, 16, loginPayload("usher", "7394")),
        commandRequest(2, 4, 55),
    };
    auto run = [&](size_t split, int* reads) {
        SimOptions o;
        o.split_writes = split;
        o.split_pause_ms = 15;
        start(std::move(o));
        RawClient c(sim_->port());
        std::string all;
        auto take = [&] {
            auto r = c.readReply();
            EXPECT_TRUE(r);
            if (r) all += r->header + std::string(r->body.begin(), r->body.end());
        };
        for (const auto& req : requests) {
            c.send(req);
            take();
        }
        for (const auto& cmd : commands) {
            c.send(cmd);
            take();
        }
        *reads = c.reads();
        sim_->stop();
        return all;
    };
    int whole_reads = 0, split_reads = 0;
    std::string whole = run(0, &whole_reads);
    std::string split = run(7, &split_reads);
    EXPECT_EQ(split, whole);
    // Pieces 15 ms apart do not all meet in one read of the receiver.
    EXPECT_GT(split_reads, whole_reads);
}

}  // namespace
}  // namespace zaq::sim
