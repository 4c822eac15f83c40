// The keep-alive sender: its interval by device type, the start delay, the interleaved frame
// for DVRs without GET_PARAMETER, and the end of the session on a broken connection.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <chrono>

#include "live/LiveSession.h"
#include "tests/support/test_support.h"

namespace zaq {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Sender : LiveSession {
    HeadlessLoop loop;
    test::SocketPair pair;
    explicit Sender(int deviceType, bool getParameter) : LiveSession(loop) {
        m_loginParam[0].device_type = uint8_t(deviceType);
        m_loginParam[0].max_channel = 1;
        m_socks[0] = pair.a;
        m_get_parameter[0] = getParameter;
        m_bLogin[0] = 1;
        m_device[0] = 1;
        m_ch[0] = 0;
        m_islive[0] = KIND_LIVE;
        copyText(m_dvr_addr, "127.0.0.1");
    }
    ~Sender() override { stopSessionThreads(); }
    // Times at which keep-alives arrived on the DVR's side, from the thread's start.
    std::vector<double> arrivals(int count, std::chrono::milliseconds limit, std::string* first) {
        std::vector<double> at;
        auto start = Clock::now();
        startTcpSendThread();
        while (int(at.size()) < count && Clock::now() - start < limit) {
            pollfd p{pair.b, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buf[512];
            ssize_t n = recv(pair.b, buf, sizeof buf, 0);
            if (n <= 0) break;
            if (first && first->empty()) first->assign(buf, size_t(n));
            at.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
        return at;
    }
};

struct IntervalCase {
    int deviceType;
    double interval;
    int sweeps;
};

class KeepAliveInterval : public ::testing::TestWithParam<IntervalCase> {};

TEST_P(KeepAliveInterval, FirstSweepAfterTheStartDelayThenEveryInterval) {
    const IntervalCase& c = GetParam();
    Sender s(c.deviceType, true);
    std::string first;
    auto at = s.arrivals(c.sweeps, std::chrono::milliseconds(int(1500 + c.interval * 1000 * (c.sweeps + 1))), &first);
    ASSERT_EQ(int(at.size()), c.sweeps);
    EXPECT_NEAR(at[0], 1.0 + c.interval, 0.15);
    for (size_t i = 1; i < at.size(); ++i) EXPECT_NEAR(at[i] - at[i - 1], c.interval + 0.01, 0.1);
    EXPECT_NE(first.find("GET_PARAMETER rtsp://127.0.0.1/Live/Channel=0 RTSP/1.0"), std::string::npos);
    EXPECT_NE(first.find("Content-Length: 16"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(DeviceTypes, KeepAliveInterval,
                         ::testing::Values(IntervalCase{199, 0.95, 3}, IntervalCase{200, 4.75, 2}));

TEST(KeepAlive, DvrWithoutGetParameterGetsTheInterleavedFrame) {
    Sender s(199, false);
    std::string first;
    auto at = s.arrivals(1, 3s, &first);
    ASSERT_EQ(at.size(), 1u);
    EXPECT_EQ(first, std::string("\x24\x01\x00\x04", 4));
}

TEST(KeepAlive, BrokenSessionEndsTheSenderWithNetworkLoss) {
    test::LogCapture log;
    Sender s(199, true);
    s.m_last_errno = -2;  // the receive loop found the connection broken
    s.startTcpSendThread();
    auto start = Clock::now();
    while (!log.contains("End tcpSendThread!") && Clock::now() - start < 4s) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(log.contains("Network loss..."));
    EXPECT_EQ(s.pair.drain(50ms), "");  // nothing touched the socket
}

}  // namespace
}  // namespace zaq
