// Live sessions against the simulated DVR over loopback: connect, log in, the further
// connections, failures with their texts, cancelling and reconnecting.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "protocol/net_config.h"
#include "sim/dvr_sim.h"
#include "tests/support/session_harness.h"
#include "tests/support/test_support.h"

namespace zaq {
namespace {

using namespace std::chrono_literals;
using sim::DvrSim;
using sim::SimOptions;
using test::SessionHarness;

SimOptions simWith(int channels) {
    SimOptions o;
    o.port = 0;
    o.max_channel = channels;
    o.media = false;  // these sessions are about requests and replies: no pictures to encode
    return o;
}

int countRequests(const DvrSim& sim, const std::string& method, int code = -1) {
    auto t = sim.transcript();
    return int(std::count_if(t.begin(), t.end(), [&](const auto& r) {
        return r.method == method && (code < 0 || r.code() == code);
    }));
}

class SessionChannels : public ::testing::TestWithParam<int> {};

TEST_P(SessionChannels, ComesUpWithOneConnectionPerChannel) {
    int n = GetParam();
    DvrSim sim(simWith(n));
    ASSERT_TRUE(sim.start());
    SessionHarness h;
    h.connect("127.0.0.1", sim.port());
    ASSERT_TRUE(h.waitUp()) << h.status();
    EXPECT_EQ(h.statuses(), (std::vector<std::string>{"Not Connected", "Connecting...",
                                                      "Receiving DVR Time..."}));
    EXPECT_EQ(h.connectButton.title(), "Disconnect");
    EXPECT_EQ(h.entryButton.title(), "Remote Setup");

    // Every connection logs in and plays; once all have, video is switched on for each.
    ASSERT_TRUE(sim.waitFor(
        [&] {
            auto c = sim.connections();
            return int(c.size()) == n &&
                   std::all_of(c.begin(), c.end(), [](auto& i) { return i.playing && i.video; });
        },
        10s));
    EXPECT_EQ(sim.connectionCount(), n);
    auto conns = sim.connections();
    for (int k = 0; k < n; ++k) {
        EXPECT_EQ(conns[size_t(k)].channel, k);
        EXPECT_EQ(conns[size_t(k)].logins, 1);
    }
    EXPECT_EQ(countRequests(sim, "OPTIONS"), n);
    // Keep-alives follow within about a second of the last login.
    EXPECT_TRUE(sim.waitFor([&] { return countRequests(sim, "GET_PARAMETER", 19) >= n; }, 5s));
    // The camera titles are asked for after each live-transfer reply.
    EXPECT_TRUE(
        h.runUntil([&] { return h.dialog->channelName(n - 1) == sim::defaultTitle(n - 1); }));

    h.disconnect();
    EXPECT_EQ(h.status(), "Disconnected");
    EXPECT_EQ(h.connectButton.title(), "Connect");
    EXPECT_EQ(h.entryButton.title(), "Site");
    EXPECT_TRUE(sim.waitFor([&] { return sim.openConnections() == 0; }, 5s));
}

INSTANTIATE_TEST_SUITE_P(Channels, SessionChannels, ::testing::Values(1, 4, 16),
                         [](const auto& info) { return "Dvr" + std::to_string(info.param); });

struct RefusalCase {
    int channel;  // 0: the comm thread's own login; others: a further connection's
    int result;
    const char* text;
};

class LoginRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(LoginRefusal, EndsSessionWithItsWord) {
    const RefusalCase& c = GetParam();
    SimOptions o = simWith(4);
    o.login_result[c.channel] = c.result;
    DvrSim sim(o);
    ASSERT_TRUE(sim.start());
    SessionHarness h;
    h.connect("127.0.0.1", sim.port());
    if (c.channel == 0) {
        // Refused during the handshake: the failure end brings the window back to idle.
        ASSERT_TRUE(h.waitIdle());
        EXPECT_FALSE(h.dialog->cameUp());
    } else {
        // Refused on a further connection: the receive loop stops; the text waits for the
        // disconnect.
        ASSERT_TRUE(h.waitUp());
        ASSERT_TRUE(h.runUntil([&] { return h.dialog->errorString() == c.text; }));
        h.disconnect();
    }
    EXPECT_EQ(h.status(), c.text);
    EXPECT_EQ(h.dialog->errorString(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Words, LoginRefusal,
    ::testing::Values(RefusalCase{0, -1, "Invalid device"}, RefusalCase{0, -2, "Invalid ID"},
                      RefusalCase{0, -3, "Invalid Password"}, RefusalCase{0, -4, "Max connection"},
                      RefusalCase{0, -5, "Local user access"},
                      RefusalCase{0, -6, "Another user access"},
                      RefusalCase{0, -7, "Client access off"},
                      RefusalCase{0, -9, "Unsupported DVR"}, RefusalCase{2, -3, "Invalid Password"},
                      RefusalCase{3, -6, "Another user access"}),
    [](const auto& info) {
        std::string name = "Channel" + std::to_string(info.param.channel) + "Result" +
                           std::to_string(-info.param.result);
        return name;
    });

TEST(SessionReplies, RepliesInSmallPiecesStillBringTheSessionUp) {
    SimOptions o = simWith(4);
    o.split_writes = 5;
    o.split_pause_ms = 1;
    DvrSim sim(o);
    ASSERT_TRUE(sim.start());
    SessionHarness h;
    h.connect("127.0.0.1", sim.port());
    ASSERT_TRUE(h.waitUp()) << h.status();
    EXPECT_TRUE(sim.waitFor(
        [&] {
            auto c = sim.connections();
            return c.size() == 4 &&
                   std::all_of(c.begin(), c.end(), [](auto& i) { return i.video; });
        },
        10s));
}

TEST(SessionLayout, DvrStreamsExactlyTheChannelsInViewAndPtzReachesTheSelectedOne) {
    DvrSim sim(simWith(16));
    ASSERT_TRUE(sim.start());
    SessionHarness h;
    h.connect("127.0.0.1", sim.port());
    ASSERT_TRUE(h.waitUp());
    auto videoFlags = [&] {
        std::vector<int> on;
        for (auto& c : sim.connections()) {
            if (c.video) on.push_back(c.channel);
        }
        std::sort(on.begin(), on.end());
        return on;
    };
    ASSERT_TRUE(sim.waitFor([&] { return videoFlags().size() == 16; }, 10s));
    h.dialog->split4ButtonPressed();
    h.dialog->split4ButtonPressed();  // the second group: channels 4 to 7
    EXPECT_TRUE(sim.waitFor([&] { return videoFlags() == std::vector<int>{4, 5, 6, 7}; }, 5s));
    h.dialog->paneClicked(6, 2);
    EXPECT_TRUE(sim.waitFor([&] { return videoFlags() == std::vector<int>{6}; }, 5s));

    // Press and release: the button's command, then 0, both for the selected channel, preset 1.
    h.dialog->ptzPressed(9);
    h.dialog->setSelectChannel(6);
    h.dialog->ptzReleased();
    ASSERT_TRUE(
        sim.waitFor([&] { return countRequests(sim, "GET_PARAMETER", ASK_PTZCONTROL) == 2; }, 5s));
    std::vector<std::pair<int, int>> ptz;
    for (auto& r : sim.transcript()) {
        if (r.code() == ASK_PTZCONTROL) {
            ASSERT_GE(r.block.size(), 18u);
            EXPECT_EQ(r.block[17], 1);
            ptz.push_back({r.channel, r.block[16]});
        }
    }
    EXPECT_EQ(ptz, (std::vector<std::pair<int, int>>{{6, 9}, {6, 0}}));
}

TEST(SessionFailure, WrongPasswordChecksTheCredentials) {
    SimOptions o = simWith(2);
    o.user_id = "usher";
    o.password = "secret";
    DvrSim sim(o);
    ASSERT_TRUE(sim.start());
    SessionHarness h;
    h.connect("127.0.0.1", sim.port(), "usher", "wrong");
    ASSERT_TRUE(h.waitIdle());
    EXPECT_EQ(h.status(), "Invalid Password");
}

TEST(SessionFailure, NothingListeningIsConnectionFailed) {
    SessionHarness h;
    h.connect("127.0.0.1", test::unusedPort());
    ASSERT_TRUE(h.waitIdle());
    EXPECT_EQ(h.statuses(),
              (std::vector<std::string>{"Not Connected", "Connecting...", "Connection Failed"}));
    EXPECT_EQ(h.connectButton.title(), "Connect");
    EXPECT_EQ(h.entryButton.title(), "Site");
}

TEST(SessionFailure, UnresolvableNameIsConnectionFailed) {
    // A name server that never answers: the resolver gives up after about 3 s.
    NetConfig saved = netConfig();
    netConfig().publicNameServer = "127.0.0.1";
    netConfig().dnsPort = uint16_t(test::unusedPort());
    SessionHarness h;
    h.connect("no-such-dvr.example", 5445);
    EXPECT_TRUE(h.waitIdle(10s));
    netConfig() = saved;
    EXPECT_EQ(h.status(), "Connection Failed");
}

TEST(SessionFailure, DvrSilentDuringHandshakeIsConnectionFailed) {
    // The DVR accepts and reads but never answers OPTIONS: the user gives up.
    SimOptions o = simWith(1);
    o.silent_methods = {"OPTIONS"};
    DvrSim sim(o);
    ASSERT_TRUE(sim.start());
    SessionHarness h;
    h.connect("127.0.0.1", sim.port());
    ASSERT_TRUE(sim.waitFor([&] { return countRequests(sim, "OPTIONS") == 1; }, 5s));
    h.disconnect();  // returns although the comm thread waits in the reply reader
    h.runUntil([] { return false; }, 200ms);  // the posted failure end finds the window idle
    EXPECT_FALSE(h.dialog->m_isConnected);
    EXPECT_EQ(h.connectButton.title(), "Connect");
}

// A listener whose backlog is full: a further connect hangs in its handshake on loopback.
struct FullBacklog {
    int listener = -1, port = 0;
    std::vector<int> fillers;
    FullBacklog() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(listener, 0);
        socklen_t len = sizeof sa;
        getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        for (int i = 0; i < 4; ++i) {
            int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            fillers.push_back(s);
        }
    }
    ~FullBacklog() {
        for (int s : fillers)
            close(s);
        close(listener);
    }
};

class CountingDialog : public Main_Dialog {
  public:
    using Main_Dialog::Main_Dialog;
    int failures = 0;
    void connectButtonPressed() override {
        ++failures;
        Main_Dialog::connectButtonPressed();
    }
    using Main_Dialog::stopTcpCommThread;
};

TEST(SessionFailure, CancelDuringConnectEndsThroughFailureEnd) {
    FullBacklog backlog;
    HeadlessLoop loop;
    PlainText addr("127.0.0.1"), port(std::to_string(backlog.port)), status;
    LiveOutlets o;
    o.ipdns = &addr;
    o.port = &port;
    o.timeField = &status;
    CountingDialog d(loop, o);
    d.awakeFromNib();
    d.connectButtonPressed();  // counted once: the user's press
    loop.runFor(300ms);
    EXPECT_TRUE(d.m_isConnected);
    d.stopTcpCommThread();  // the connect wait sees the cancel and ends
    // The failure end posted connectButtonPressed, which disconnects.
    loop.runUntilTrue([&] { return !d.m_isConnected; }, 2s);
    EXPECT_EQ(d.failures, 2);
    EXPECT_EQ(status.text(), "Connection Failed");
}

TEST(SessionCSeq, ReconnectingContinuesEverySlotsCounter) {
    DvrSim sim(simWith(2));
    ASSERT_TRUE(sim.start());
    SessionHarness h;
    h.connect("127.0.0.1", sim.port());
    ASSERT_TRUE(h.waitUp());
    ASSERT_TRUE(sim.waitFor([&] { return countRequests(sim, "PLAY") == 2; }, 5s));
    h.disconnect();
    uint32_t last[2] = {h.dialog->m_rtsp_seq[0], h.dialog->m_rtsp_seq[1]};
    size_t firstSession = sim.transcript().size();

    h.connect("127.0.0.1", sim.port());
    ASSERT_TRUE(h.waitUp());
    ASSERT_TRUE(sim.waitFor([&] { return countRequests(sim, "PLAY") == 4; }, 5s));
    auto t = sim.transcript();
    std::vector<int64_t> options;
    for (size_t i = firstSession; i < t.size(); ++i) {
        if (t[i].method == "OPTIONS") options.push_back(t[i].cseq);
    }
    // Slot 0 connects first, slot 1 after it. The controller's seed is ORed in again, so the
    // counter goes on from where it was (never back to a low value).
    ASSERT_EQ(options.size(), 2u);
    EXPECT_GT(options[0], int64_t(last[0]));
    EXPECT_GT(options[1], int64_t(last[1]));
    EXPECT_LT(options[0], int64_t(last[0]) + 65536);
}

}  // namespace
}  // namespace zaq
