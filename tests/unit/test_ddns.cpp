// The DDNS web lookup against a local HTTP responder with canned replies.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/StreamObject.h"
#include "protocol/cancel.h"
#include "protocol/log.h"
#include "protocol/net_config.h"

namespace zaq {
namespace {

using Clock = std::chrono::steady_clock;

// What the responder does once it has read the request.
enum class Mode { Reply, Hold, Reset };

// Accepts connections on a local TCP port one at a time, reads the request up to its empty line
// and then replies and closes, holds the connection open until the client closes it, or resets
// it. Keeps the last request it read.
class HttpResponder {
  public:
    HttpResponder() {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return;
        if (listen(m_listen, 4) != 0) return;
        socklen_t size = sizeof at;
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&at), &size);
        m_port = ntohs(at.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~HttpResponder() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        close(m_listen);
    }

    uint16_t port() const { return m_port; }
    void set(Mode mode, std::string reply = {}) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_mode = mode;
        m_reply = std::move(reply);
        m_request.clear();
    }
    std::string request() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_request;
    }

  private:
    bool readable(int fd) {
        pollfd pfd{fd, POLLIN, 0};
        return poll(&pfd, 1, 20) > 0;
    }

    void run() {
        while (!m_stop) {
            if (!readable(m_listen)) continue;
            const int conn = accept(m_listen, nullptr, nullptr);
            if (conn < 0) continue;
            serve(conn);
        }
    }

    void serve(int conn) {
        std::string request;
        char chunk[1024];
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (!m_stop && Clock::now() < deadline && request.find("\r\n\r\n") == request.npos) {
            if (!readable(conn)) continue;
            const ssize_t n = recv(conn, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            request.append(chunk, size_t(n));
        }
        Mode mode;
        std::string reply;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_request = request;
            mode = m_mode;
            reply = m_reply;
        }
        if (mode == Mode::Reply) {
            send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
        } else if (mode == Mode::Hold) {
            while (!m_stop) {
                if (readable(conn) && recv(conn, chunk, sizeof chunk, 0) <= 0) break;
            }
        } else {
            linger reset{1, 0};
            setsockopt(conn, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        close(conn);
    }

    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    Mode m_mode = Mode::Reply;  // --- Protected by m_lock
    std::string m_reply;
    std::string m_request;
    std::thread m_thread;
};

constexpr const char* kTypedAddress = "MyDvr.zaqddns.net";
constexpr const char* kExpectedRequest =
    "GET / HTTP/1.1\r\n"
    "Accept: */*\r\n"
    "User-Agent: Mozilla/4.0\r\n"
    "Host: MyDvr.zaqddns.net\r\n\r\n";

// The head of the service's redirect page; the tests add the body.
const std::string kHead =
    "HTTP/1.1 302 Found\r\n"
    "Server: zaqddns/2.1\r\n"
    "Location: http://203.0.113.7:5445/\r\n"
    "Content-Type: text/html\r\n\r\n";

class DdnsLookupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_saved = netConfig();
        ASSERT_NE(http.port(), 0);
        netConfig().ddnsWebPort = http.port();
        setLogSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(m_logLock);
            m_log.push_back(line);
        });
        resetSession();
    }
    void TearDown() override {
        setLogSink({});
        netConfig() = m_saved;
    }

    void resetSession() {
        session = std::make_unique<StreamObject>();
        std::strcpy(session->m_dvr_addr, kTypedAddress);
        std::lock_guard<std::mutex> lock(m_logLock);
        m_log.clear();
    }
    bool logged(const std::string& line) {
        std::lock_guard<std::mutex> lock(m_logLock);
        for (const std::string& l : m_log) {
            if (l == line) return true;
        }
        return false;
    }

    HttpResponder http;
    std::unique_ptr<StreamObject> session;

  private:
    NetConfig m_saved;
    std::mutex m_logLock;
    std::vector<std::string> m_log;  // --- Protected by m_logLock
};

TEST_F(DdnsLookupTest, TakesTheHostFromTheServicesLink) {
    const std::string host259(259, 'h');
    const std::string host260(260, 'h');
    const struct {
        const char* label;
        std::string reply;
        int expected;
        std::string host;  // m_dvr_addr afterwards
    } cases[] = {
        {"host with port", kHead + "<a HREF=\"http://203.0.113.7:5445/\">DVR</a>", 0,
         "203.0.113.7"},
        {"host without port", kHead + "<a HREF=\"http://dvr.example.net/live\">DVR</a>", 0,
         "dvr.example.net"},
        {"link without port, a ':' further on",
         kHead + "<a HREF=\"http://dvr.example.net/\">DVR</a> updated 12:30", 0, "dvr.example.net"},
        {"link without port or path", kHead + "<a HREF=\"http://dvr.example.net\">DVR</a>", 0,
         "dvr.example.net"},
        {"host of 259 characters", kHead + "<a HREF=\"http://" + host259 + ":5445/\">", 0, host259},
        {"host of 260 characters", kHead + "<a HREF=\"http://" + host260 + ":5445/\">", -1,
         kTypedAddress},
        {"unknown name", kHead + "DVR_Error=1", -2, kTypedAddress},
        {"unknown name, with a link", kHead + "DVR_Error=1 <a HREF=\"http://203.0.113.7:5445/\">",
         -2, kTypedAddress},
        {"no Location:",
         "HTTP/1.1 200 OK\r\nServer: zaqddns/2.1\r\n\r\n<a HREF=\"http://203.0.113.7:5445/\">", -1,
         kTypedAddress},
        {"no Server:",
         "HTTP/1.1 302 Found\r\nLocation: http://203.0.113.7:5445/\r\n\r\n"
         "<a HREF=\"http://203.0.113.7:5445/\">",
         -1, kTypedAddress},
        {"no link", kHead + "<a href=\"http://203.0.113.7:5445/\">", -1, kTypedAddress},
        {"empty host", kHead + "<a HREF=\"http://:5445/\">", -1, kTypedAddress},
        {"link only after the first 64 KiB",
         kHead + std::string(70000, ' ') + "<a HREF=\"http://203.0.113.7:5445/\">", -1,
         kTypedAddress},
        {"connection closed without a reply", "", -1, kTypedAddress},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        resetSession();
        http.set(Mode::Reply, c.reply);
        EXPECT_EQ(session->req_morva_ddns(3, "127.0.0.1"), c.expected);
        EXPECT_EQ(std::string(session->m_dvr_addr), c.host);
        EXPECT_EQ(http.request(), kExpectedRequest);
        // Composed in the given slot's buffer.
        EXPECT_STREQ(session->m_send_buffer[3], kExpectedRequest);
        EXPECT_STREQ(session->m_send_buffer[0], "");
        EXPECT_EQ(session->m_last_errno.load(), 0);
        if (c.reply.size() < 200) {
            EXPECT_TRUE(logged("recv_size: " + std::to_string(c.reply.size()) + ", " + c.reply));
        }
    }
}

TEST_F(DdnsLookupTest, FailsWithoutAServiceToAsk) {
    http.set(Mode::Reply, kHead + "<a HREF=\"http://203.0.113.7:5445/\">");
    EXPECT_EQ(session->req_morva_ddns(0, ""), -1);
    EXPECT_EQ(session->req_morva_ddns(0, nullptr), -1);

    // Not a dotted address and not a name the resolver can ask for.
    EXPECT_EQ(session->req_morva_ddns(0, "bad..name"), -1);
    EXPECT_TRUE(logged("Network access not available... 2"));

    // Nobody listening on the port.
    const uint16_t port = http.port();
    {
        HttpResponder other;
        netConfig().ddnsWebPort = other.port();
    }
    EXPECT_EQ(session->req_morva_ddns(0, "127.0.0.1"), -1);
    netConfig().ddnsWebPort = port;

    // A reset connection.
    http.set(Mode::Reset);
    EXPECT_EQ(session->req_morva_ddns(0, "127.0.0.1"), -1);
    EXPECT_STREQ(session->m_dvr_addr, kTypedAddress);
}

TEST_F(DdnsLookupTest, RequestThatWouldNotFitTheSlotBufferIsRefused) {
    // 64 bytes of request around the host: 195 characters fit the 260-byte buffer, 196 do not.
    http.set(Mode::Reply, kHead + "<a HREF=\"http://203.0.113.7:5445/\">");
    std::memset(session->m_dvr_addr, 'x', 195);
    EXPECT_EQ(session->req_morva_ddns(0, "127.0.0.1"), 0);
    EXPECT_EQ(http.request().size(), 259u);

    resetSession();
    http.set(Mode::Reply, kHead + "<a HREF=\"http://203.0.113.7:5445/\">");
    std::memset(session->m_dvr_addr, 'x', 196);
    EXPECT_EQ(session->req_morva_ddns(0, "127.0.0.1"), -1);
    EXPECT_TRUE(logged("\nreq_morva_ddns - failed: 0"));
    EXPECT_EQ(http.request(), "");
    EXPECT_EQ(std::string(session->m_dvr_addr), std::string(196, 'x'));
}

TEST_F(DdnsLookupTest, NoReplyWithinSevenSecondsFails) {
    http.set(Mode::Hold);
    const auto start = Clock::now();
    EXPECT_EQ(session->req_morva_ddns(0, "127.0.0.1"), -1);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(6900));
    EXPECT_TRUE(logged("recv_size == SOCKET_ERROR"));
    // Would-block is no broken session.
    EXPECT_FALSE(logged("errno != EINPROGRESS && errno!= EWOULDBLOCK"));
    EXPECT_EQ(session->m_last_errno.load(), 0);
    EXPECT_STREQ(session->m_dvr_addr, kTypedAddress);
}

TEST_F(DdnsLookupTest, CancelledSessionThreadStopsWaiting) {
    http.set(Mode::Hold);
    std::atomic<bool> cancel{false};
    int result = 0;
    Clock::duration waited{};
    std::thread comm([&] {
        setCurrentCancelFlag(&cancel);
        const auto start = Clock::now();
        result = session->req_morva_ddns(0, "127.0.0.1");
        waited = Clock::now() - start;
        setCurrentCancelFlag(nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel = true;
    comm.join();
    EXPECT_EQ(result, -1);
    EXPECT_LT(waited, std::chrono::seconds(3));
}

}  // namespace
}  // namespace zaq
