// The simulated DVR as a server: interleaved keep-alives, hostile bytes, silent methods, many
// connections at once, slow readers, the transcript and a clean stop.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/dvr_sim.h"
#include "test_sim_client.h"

namespace zaq::sim {
namespace {

using namespace std::chrono_literals;
using simtest::commandRequest;
using simtest::loginPayload;
using simtest::RawClient;
using simtest::rtspRequest;

class SimConnectionTest : public ::testing::Test {
  protected:
    void start(SimOptions options = {}) {
        options.port = 0;
        options.media = false;  // replies only: no pictures to encode
        sim_ = std::make_unique<DvrSim>(std::move(options));
        std::string error;
        ASSERT_TRUE(sim_->start(&error)) << error;
    }
    std::unique_ptr<DvrSim> sim_;
};

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list)
        s += char(b);
    return s;
}

TEST_F(SimConnectionTest, InterleavedUnitsAreConsumedSilently) {
    start();
    struct Case {
        const char* name;
        std::string before;  // sent in the same write as the OPTIONS that must be answered
        int units;           // "$" records expected
    };
    const Case cases[] = {
        {"keep-alive frame", bytes({0x24, 0x01, 0x00, 0x04}), 1},
        {"two keep-alive frames", bytes({0x24, 1, 0, 4, 0x24, 1, 0, 4}), 2},
        {"receiver report", bytes({0x24, 1, 0, 8, 0x81, 0xc9, 0, 1, 0, 0, 0, 0}), 1},
        {"line ends", "\r\n\r\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t before = sim_->transcript().size();
        RawClient client(sim_->port());
        client.send(c.before + rtspRequest("OPTIONS", "rtsp://127.0.0.1", 9));
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->field("CSeq"), "9");
        auto records = sim_->transcript();
        ASSERT_EQ(records.size(), before + size_t(c.units) + 1);
        for (size_t i = before; i < records.size() - 1; ++i)
            EXPECT_EQ(records[i].method, "$");
        EXPECT_EQ(records.back().method, "OPTIONS");
    }
}

TEST_F(SimConnectionTest, MalformedRequestsAreAnsweredAndTheConnectionGoesOn) {
    start();
    struct Case {
        const char* name;
        std::string request;
        const char* status;
    };
    const Case cases[] = {
        {"no request line", "garbage\r\n\r\n", "RTSP/1.0 400 Bad Request\r\n"},
        {"binary bytes", bytes({0x00, 0xff, 0x13, 0x0d, 0x0a, 0x0d, 0x0a}),
         "RTSP/1.0 400 Bad Request\r\n"},
        {"unknown method", rtspRequest("TEARDOWN", "rtsp://127.0.0.1", 5),
         "RTSP/1.0 501 Not Implemented\r\nCSeq: 5\r\n"},
        {"block without magic",
         "GET_PARAMETER rtsp://127.0.0.1 RTSP/1.0\r\nCSeq: 6\r\nContent-Length: 5\r\n\r\nhello",
         "RTSP/1.0 200 OK\r\nCSeq: 6\r\n"},
        {"block cut after the magic",
         "GET_PARAMETER rtsp://127.0.0.1 RTSP/1.0\r\nCSeq: 7\r\nContent-Length: 4\r\n\r\nZAQC",
         "RTSP/1.0 200 OK\r\nCSeq: 7\r\n"},
        {"CSeq not a number", "OPTIONS rtsp://x RTSP/1.0\r\nCSeq: 1\r2\r\n\r\n",
         "RTSP/1.0 200 OK\r\nPublic"},
    };
    RawClient client(sim_->port());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        client.send(c.request);
        auto reply = client.readReply();
        ASSERT_TRUE(reply);
        EXPECT_TRUE(reply->header.starts_with(c.status)) << reply->header;
        EXPECT_TRUE(reply->body.empty());
    }
    client.send(rtspRequest("OPTIONS", "rtsp://127.0.0.1", 8));
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->field("CSeq"), "8");
}

TEST_F(SimConnectionTest, UnframeableInputDropsOnlyThatConnection) {
    start();
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"header without end", std::string(9000, 'x')},
        {"length not a number", "GET_PARAMETER rtsp://x RTSP/1.0\r\nContent-Length: 1x\r\n\r\n"},
        {"length too large", "GET_PARAMETER rtsp://x RTSP/1.0\r\nContent-Length: 99999999\r\n\r\n"},
    };
    RawClient bystander(sim_->port());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(sim_->port());
        client.send(c.bytes);
        EXPECT_TRUE(client.closedByPeer());
    }
    bystander.send(rtspRequest("OPTIONS", "rtsp://127.0.0.1", 3));
    auto reply = bystander.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->field("CSeq"), "3");
    EXPECT_TRUE(sim_->waitFor([&] { return sim_->openConnections() == 1; }, 3s));
}

TEST_F(SimConnectionTest, SilentMethodIsRecordedButNeverAnswered) {
    SimOptions o;
    o.silent_methods = {"PLAY"};
    start(std::move(o));
    RawClient client(sim_->port());
    client.send(rtspRequest("PLAY", "rtsp://127.0.0.1/Live/Channel=0", 4, "Session: 1\r\n"));
    client.send(rtspRequest("OPTIONS", "rtsp://127.0.0.1", 5));
    auto reply = client.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->field("CSeq"), "5");  // the first reply is the OPTIONS one
    auto records = sim_->transcript();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].method, "PLAY");
    EXPECT_FALSE(records[0].answered);
    EXPECT_TRUE(records[1].answered);
}

TEST_F(SimConnectionTest, SixteenConnectionsLogInOnTheirOwnChannels) {
    SimOptions o;
    o.login_result = {{7, -4}};
    start(std::move(o));
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int ch = 0; ch < 16; ++ch) {
        clients.push_back(std::make_unique<RawClient>(sim_->port()));
        ASSERT_TRUE(clients.back()->connected());
    }
    ASSERT_TRUE(sim_->waitFor([&] { return sim_->openConnections() == 16; }, 3s));
    // All requests first, then all replies: the connections are served side by side.
    for (int ch = 0; ch < 16; ++ch) {
        clients[ch]->send(commandRequest(ch, 100 + ch, 16, loginPayload("usher", "7394")));
    }
    for (int ch = 0; ch < 16; ++ch) {
        SCOPED_TRACE(ch);
        auto reply = clients[ch]->readReply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->field("CSeq"), std::to_string(100 + ch));
        EXPECT_EQ(int8_t(reply->at(16)), ch == 7 ? -4 : 0);
    }
    auto records = sim_->transcript();
    ASSERT_EQ(records.size(), 16u);
    for (const auto& r : records) {
        EXPECT_EQ(r.code(), 16);
        EXPECT_EQ(r.cseq, 100 + r.channel);
        EXPECT_EQ(r.block.size(), 56u);
    }
    EXPECT_EQ(sim_->connectionCount(), 16);
}

TEST_F(SimConnectionTest, AClientThatNeverReadsHoldsUpNobodyElse) {
    start();
    RawClient hog(sim_->port(), 4096);
    ::fcntl(hog.fd(), F_SETFL, ::fcntl(hog.fd(), F_GETFL) | O_NONBLOCK);
    // Keep-alives until the simulator stops taking them (its request count stands still for a
    // tenth of a second), or until far more than any bounded backlog has been sent.
    const std::vector<uint8_t> keepalive = commandRequest(0, 1, 19);
    auto handled = [&] { return sim_->connections().at(0).requests; };
    size_t sent = 0;
    uint64_t last = ~0ull;
    int still = 0;
    while (still < 10 && sent < (16u << 20)) {
        for (;;) {
            size_t off = sent % keepalive.size();  // a partial send goes on where it stopped
            ssize_t n =
                ::send(hog.fd(), keepalive.data() + off, keepalive.size() - off, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += size_t(n);
        }
        std::this_thread::sleep_for(10ms);
        uint64_t now = handled();
        still = now == last ? still + 1 : 0;
        last = now;
    }
    ASSERT_EQ(still, 10) << "the simulator kept reading from a client that reads nothing";
    // Replies pile up to a bound (the backlog limit plus one read's worth), no further.
    EXPECT_LT(sim_->connections().at(0).reply_backlog, 512u * 1024);

    RawClient other(sim_->port());
    other.send(rtspRequest("OPTIONS", "rtsp://127.0.0.1", 2));
    auto reply = other.readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->field("CSeq"), "2");
    sim_->stop();  // must not hang on the hog's full socket
    EXPECT_EQ(sim_->openConnections(), 0);
}

TEST_F(SimConnectionTest, ConnectionsBeyondTheLimitAreClosed) {
    SimOptions o;
    o.max_connections = 2;
    start(std::move(o));
    RawClient a(sim_->port()), b(sim_->port());
    ASSERT_TRUE(sim_->waitFor([&] { return sim_->openConnections() == 2; }, 3s));
    RawClient c(sim_->port());
    EXPECT_TRUE(c.closedByPeer());
    a.send(rtspRequest("OPTIONS", "rtsp://127.0.0.1", 1));
    EXPECT_TRUE(a.readReply());
}

TEST_F(SimConnectionTest, AClientThatStopsSendingStillGetsItsReplies) {
    SimOptions o;
    o.split_writes = 16;  // the replies are still on their way when the client's end arrives
    start(std::move(o));
    RawClient client(sim_->port());
    client.send(rtspRequest("OPTIONS", "rtsp://127.0.0.1", 1) +
                rtspRequest("DESCRIBE", "rtsp://127.0.0.1/Live/Channel=0", 2));
    ::shutdown(client.fd(), SHUT_WR);
    auto options = client.readReply();
    auto describe = client.readReply();
    ASSERT_TRUE(options && describe);
    EXPECT_EQ(describe->field("CSeq"), "2");
    EXPECT_FALSE(describe->body.empty());
    EXPECT_TRUE(client.closedByPeer());
}

TEST_F(SimConnectionTest, StopClosesEveryConnection) {
    start();
    RawClient a(sim_->port()), b(sim_->port());
    ASSERT_TRUE(sim_->waitFor([&] { return sim_->openConnections() == 2; }, 3s));
    sim_->stop();
    EXPECT_FALSE(sim_->running());
    EXPECT_TRUE(a.closedByPeer());
    EXPECT_TRUE(b.closedByPeer());
    EXPECT_EQ(sim_->openConnections(), 0);
    for (const auto& info : sim_->connections())
        EXPECT_FALSE(info.open);
}

TEST_F(SimConnectionTest, TranscriptFileHasOneLinePerRequest) {
    const std::string path =
        ::testing::TempDir() + "sim_transcript_" + std::to_string(::getpid()) + ".txt";
    SimOptions o;
    o.transcript_path = path;
    start(std::move(o));
    {
        RawClient client(sim_->port());
        client.send(bytes({0x24, 1, 0, 4}));
        client.send(commandRequest(2, 12, 55, {}, 0x01020304));
        ASSERT_TRUE(client.readReply());
    }
    sim_->stop();
    std::ifstream in(path);
    std::string first, second, extra;
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(first, "conn=0 ch=-1 $ cseq=-1 block=24010004");
    EXPECT_EQ(second,
              "conn=0 ch=2 GET_PARAMETER cseq=12 code=55 "
              "block=5a415143100000003701080004030201");
    EXPECT_FALSE(std::getline(in, extra));
    std::remove(path.c_str());
}

}  // namespace
}  // namespace zaq::sim
