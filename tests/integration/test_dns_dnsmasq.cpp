// The DNS resolver against a real DNS server: dnsmasq serving a few local records on loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/dns_resolver.h"
#include "protocol/log.h"
#include "protocol/net_config.h"

extern char** environ;

namespace zaq {
namespace {

constexpr const char* kDnsmasq = "/usr/sbin/dnsmasq";

int32_t addressOf(const char* dotted) {
    in_addr addr{};
    inet_pton(AF_INET, dotted, &addr);
    return int32_t(addr.s_addr);
}

// A port free for both UDP and TCP on 127.0.0.1 right now (dnsmasq listens on both).
uint16_t freePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int udp = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
        socklen_t size = sizeof at;
        uint16_t port = 0;
        if (bind(udp, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
            getsockname(udp, reinterpret_cast<sockaddr*>(&at), &size) == 0) {
            port = ntohs(at.sin_port);
        }
        const int tcp = socket(AF_INET, SOCK_STREAM, 0);
        const bool tcpFree =
            port != 0 && bind(tcp, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
        close(tcp);
        close(udp);
        if (tcpFree) return port;
    }
    return 0;
}

// True once a query for `name` on the port gets any answer; polls for up to `seconds`.
bool answers(uint16_t port, const char* name, int seconds) {
    uint8_t query[300];
    const int length = buildDnsQuery(name, query, sizeof query);
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    bool ok = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!ok && std::chrono::steady_clock::now() < deadline) {
        sendto(sock, query, size_t(length), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd pfd{sock, POLLIN, 0};
        if (poll(&pfd, 1, 100) > 0) {
            uint8_t reply[512];
            ok = recv(sock, reply, sizeof reply, 0) > 0;
        }
    }
    close(sock);
    return ok;
}

// Runs dnsmasq in the foreground on 127.0.0.1 with local records only, for the test's duration.
class DnsmasqResolverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (access(kDnsmasq, X_OK) != 0) {
            GTEST_SKIP() << kDnsmasq << " is not installed (Debian package dnsmasq-base)";
        }
        m_saved = netConfig();
        m_logPath = "/tmp/zaq-dnsmasq-" + std::to_string(getpid()) + ".log";
        // The port is free when picked; another process may take it before dnsmasq binds it.
        for (int attempt = 0; attempt < 5 && m_pid <= 0; ++attempt) {
            const uint16_t port = freePort();
            ASSERT_NE(port, 0);
            if (start(port) && answers(port, "dvr.test.lan", 5)) {
                m_port = port;
            } else {
                stop();
            }
        }
        ASSERT_GT(m_pid, 0) << "dnsmasq did not come up:\n" << serverLog();
        NetConfig& cfg = netConfig();
        cfg.publicNameServer = "127.0.0.1";
        cfg.ddnsNameServer = "127.0.0.1";
        cfg.dnsPort = m_port;
        setLogSink([](const std::string&) {});
    }

    void TearDown() override {
        if (m_pid <= 0) return;
        setLogSink({});
        netConfig() = m_saved;
        stop();
        std::remove(m_logPath.c_str());
    }

    bool start(uint16_t port) {
        std::vector<std::string> args = {
            kDnsmasq,
            "--no-daemon",
            "--conf-file=/dev/null",
            "--no-resolv",
            "--no-hosts",
            "--bind-interfaces",
            "--listen-address=127.0.0.1",
            "--port=" + std::to_string(port),
            "--pid-file=",
            "--log-facility=-",
            // Names under test.lan that are not listed are answered "no such name" at once.
            "--local=/test.lan/",
            "--host-record=dvr.test.lan,192.0.2.10",
            "--host-record=twin.test.lan,192.0.2.21",
            "--host-record=twin.test.lan,192.0.2.22",
            "--cname=cam.test.lan,dvr.test.lan",
        };
        // Started as root it would switch to nobody, which some containers do not allow; a
        // normal user keeps its own identity anyway.
        if (geteuid() == 0) args.push_back("--user=root");
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_logPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, kDnsmasq, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) return false;
        m_pid = pid;
        return true;
    }

    void stop() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
    }

    std::string serverLog() const {
        std::ifstream in(m_logPath);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    NetConfig m_saved;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_logPath;
};

TEST_F(DnsmasqResolverTest, ResolvesRecordsOfARealServer) {
    EXPECT_EQ(resolveDnsName("dvr.test.lan"), addressOf("192.0.2.10"));
    // The server matches names regardless of case; ours goes out as typed.
    EXPECT_EQ(resolveDnsName("DVR.Test.LAN"), addressOf("192.0.2.10"));
    // Answered with a CNAME followed by its target's A record.
    EXPECT_EQ(resolveDnsName("cam.test.lan"), addressOf("192.0.2.10"));
    // Two A records, whose order the server rotates: the last one is either.
    const int32_t twin = resolveDnsName("twin.test.lan");
    EXPECT_TRUE(twin == addressOf("192.0.2.21") || twin == addressOf("192.0.2.22")) << twin;
    // Answered at once with no such name.
    EXPECT_EQ(resolveDnsName("nosuch.test.lan"), -1);
}

}  // namespace
}  // namespace zaq
