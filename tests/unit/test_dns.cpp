// The DNS resolver against a local UDP responder that answers with hand-made packets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/cancel.h"
#include "protocol/dns_resolver.h"
#include "protocol/log.h"
#include "protocol/net_config.h"

namespace zaq {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kA = 1, kNS = 2, kCNAME = 5, kSOA = 6;
constexpr size_t kQuestionName = 12;  // the question's name, right after the header

// --- Packet pieces

Bytes labels(const std::string& dotted) {
    Bytes out;
    size_t start = 0;
    while (start <= dotted.size()) {
        size_t dot = dotted.find('.', start);
        if (dot == std::string::npos) dot = dotted.size();
        out.push_back(uint8_t(dot - start));
        out.insert(out.end(), dotted.begin() + start, dotted.begin() + dot);
        start = dot + 1;
    }
    out.push_back(0);
    return out;
}

Bytes pointer(size_t offset) {
    return {uint8_t(0xC0 | (offset >> 8)), uint8_t(offset)};
}

Bytes ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return {a, b, c, d};
}

void put16(Bytes& out, size_t value) {
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

// Owner, type, class IN, TTL 60, data length (the real one unless given), data.
Bytes record(const Bytes& owner, uint16_t type, const Bytes& data, int dataLength = -1) {
    Bytes out = owner;
    put16(out, type);
    put16(out, 1);
    out.insert(out.end(), {0, 0, 0, 60});
    put16(out, dataLength < 0 ? data.size() : size_t(dataLength));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// The header and question of an answer to `query` with the given section counts, followed by
// `records`.
Bytes answer(const Bytes& query, size_t an, size_t ns, size_t ar, const std::vector<Bytes>& records,
             uint8_t rcode = 0) {
    Bytes out(query.begin(), query.begin() + 2);
    out.push_back(0x81);  // response, recursion desired
    out.push_back(uint8_t(0x80 | rcode));
    put16(out, 1);
    put16(out, an);
    put16(out, ns);
    put16(out, ar);
    out.insert(out.end(), query.begin() + 12, query.end());
    for (const Bytes& r : records)
        out.insert(out.end(), r.begin(), r.end());
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

int32_t addressOf(const char* dotted) {
    in_addr addr{};
    EXPECT_EQ(inet_pton(AF_INET, dotted, &addr), 1) << dotted;
    return int32_t(addr.s_addr);
}

// --- The responder

using ReplyFn = std::function<Bytes(const Bytes& query)>;

// Answers each query on a local UDP socket with what the reply function makes of it (nothing
// when it returns no bytes), after an optional delay, and keeps the queries it saw.
class DnsResponder {
  public:
    DnsResponder(const char* address, uint16_t port) {
        m_sock = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        inet_pton(AF_INET, address, &at.sin_addr);
        if (bind(m_sock, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return;
        socklen_t size = sizeof at;
        getsockname(m_sock, reinterpret_cast<sockaddr*>(&at), &size);
        m_port = ntohs(at.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~DnsResponder() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        close(m_sock);
    }

    bool ok() const { return m_port != 0; }
    uint16_t port() const { return m_port; }
    void setReply(ReplyFn reply, int delayMs = 0) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_reply = std::move(reply);
        m_delayMs = delayMs;
        m_queries.clear();
    }
    std::vector<Bytes> queries() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_queries;
    }

  private:
    void run() {
        while (!m_stop) {
            pollfd pfd{m_sock, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) continue;
            Bytes query(65536);
            sockaddr_in from{};
            socklen_t size = sizeof from;
            const ssize_t n = recvfrom(m_sock, query.data(), query.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &size);
            if (n <= 0) continue;
            query.resize(size_t(n));
            ReplyFn reply;
            int delayMs = 0;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_queries.push_back(query);
                reply = m_reply;
                delayMs = m_delayMs;
            }
            const Bytes out = reply ? reply(query) : Bytes{};
            if (out.empty()) continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            sendto(m_sock, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
        }
    }

    int m_sock = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    ReplyFn m_reply;  // --- Protected by m_lock
    int m_delayMs = 0;
    std::vector<Bytes> m_queries;
    std::thread m_thread;
};

ReplyFn answerWith(const char* dotted) {
    return [dotted](const Bytes& q) {
        Bytes address(4);
        inet_pton(AF_INET, dotted, address.data());
        return answer(q, 1, 0, 0, {record(pointer(kQuestionName), kA, address)});
    };
}

// Two responders on the same port: the public resolver on 127.0.0.1 and the DDNS provider's
// name server on 127.0.0.2; the configuration points at them for the test's duration.
class DnsResolverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_saved = netConfig();
        for (int attempt = 0; attempt < 20 && !ddns; ++attempt) {
            pub = std::make_unique<DnsResponder>("127.0.0.1", 0);
            ASSERT_TRUE(pub->ok());
            auto candidate = std::make_unique<DnsResponder>("127.0.0.2", pub->port());
            if (candidate->ok()) ddns = std::move(candidate);
        }
        ASSERT_TRUE(ddns) << "no port free on both 127.0.0.1 and 127.0.0.2";
        NetConfig& cfg = netConfig();
        cfg.publicNameServer = "127.0.0.1";
        cfg.ddnsNameServer = "127.0.0.2";
        cfg.dnsPort = pub->port();
        cfg.ddnsDomain = "zaqddns.net";
        setLogSink([](const std::string&) {});
    }
    void TearDown() override {
        setLogSink({});
        netConfig() = m_saved;
    }

    std::unique_ptr<DnsResponder> pub;
    std::unique_ptr<DnsResponder> ddns;

  private:
    NetConfig m_saved;
};

struct AnswerCase {
    const char* label;
    ReplyFn reply;
    const char* expected;  // dotted address, or null for a failure (-1)
};

TEST_F(DnsResolverTest, TakesTheLastAddressOfTheAnswerSectionAndRefusesMalformedAnswers) {
    const Bytes q = pointer(kQuestionName);
    const Bytes longName =
        labels(std::string(60, 'a') + "." + std::string(60, 'b') + "." + std::string(60, 'c') +
               "." + std::string(60, 'd') + "." + std::string(60, 'e'));
    // Offsets into the answer: the first record starts right after our question.
    const auto firstRecord = [](const Bytes& query) { return query.size(); };
    const std::vector<AnswerCase> cases = {
        {"one A record",
         [&](const Bytes& r) { return answer(r, 1, 0, 0, {record(q, kA, ipv4(192, 0, 2, 10))}); },
         "192.0.2.10"},
        {"CNAME then the A record of its target",
         [&](const Bytes& r) {
             const size_t target = firstRecord(r) + 2 + 10;
             return answer(r, 2, 0, 0,
                           {record(q, kCNAME, labels("cam.example.net")),
                            record(pointer(target), kA, ipv4(192, 0, 2, 20))});
         },
         "192.0.2.20"},
        {"two A records: the second wins",
         [&](const Bytes& r) {
             return answer(
                 r, 2, 0, 0,
                 {record(q, kA, ipv4(192, 0, 2, 30)), record(q, kA, ipv4(192, 0, 2, 31))});
         },
         "192.0.2.31"},
        {"only a CNAME",
         [&](const Bytes& r) {
             return answer(r, 1, 0, 0, {record(q, kCNAME, labels("cam.example.net"))});
         },
         nullptr},
        {"name server's A record in the additional section does not count",
         [&](const Bytes& r) {
             const size_t nsName = firstRecord(r) + 16 + 12;
             return answer(
                 r, 1, 1, 1,
                 {record(q, kA, ipv4(192, 0, 2, 40)), record(q, kNS, labels("ns1.example.net")),
                  record(pointer(nsName), kA, ipv4(192, 0, 2, 41))});
         },
         "192.0.2.40"},
        {"CNAME with an A record only in the additional section",
         [&](const Bytes& r) {
             return answer(r, 1, 0, 1,
                           {record(q, kCNAME, labels("cam.example.net")),
                            record(labels("cam.example.net"), kA, ipv4(192, 0, 2, 42))});
         },
         nullptr},
        {"SOA data in the authority section is skipped by its length",
         [&](const Bytes& r) {
             const Bytes soa =
                 labels("ns1.example.net") + labels("admin.example.net") + Bytes(20, 1);
             return answer(r, 1, 1, 1,
                           {record(q, kA, ipv4(192, 0, 2, 43)), record(q, kSOA, soa),
                            record(labels("ns1.example.net"), kA, ipv4(192, 0, 2, 44))});
         },
         "192.0.2.43"},
        {"name unknown: no answers", [&](const Bytes& r) { return answer(r, 0, 0, 0, {}, 3); },
         nullptr},
        {"only the first 20 answers are read",
         [&](const Bytes& r) {
             std::vector<Bytes> records;
             for (uint8_t i = 1; i <= 25; ++i)
                 records.push_back(record(q, kA, ipv4(10, 0, 0, i)));
             return answer(r, 25, 0, 0, records);
         },
         "10.0.0.20"},
        // Malformed answers: every one must fail cleanly.
        {"owner name points at itself",
         [&](const Bytes& r) {
             return answer(r, 1, 0, 0, {record(pointer(firstRecord(r)), kA, ipv4(192, 0, 2, 50))});
         },
         nullptr},
        {"two pointers point at each other",
         [&](const Bytes& r) {
             const size_t cnameData = firstRecord(r) + 2 + 10;
             const size_t secondOwner = cnameData + 2;
             return answer(r, 2, 0, 0,
                           {record(q, kCNAME, pointer(secondOwner)),
                            record(pointer(cnameData), kA, ipv4(192, 0, 2, 51))});
         },
         nullptr},
        {"pointer past the end",
         [&](const Bytes& r) {
             return answer(r, 1, 0, 0, {record(pointer(0x3FFF), kA, ipv4(192, 0, 2, 52))});
         },
         nullptr},
        {"CNAME data pointing past the end",
         [&](const Bytes& r) {
             return answer(
                 r, 2, 0, 0,
                 {record(q, kCNAME, pointer(0x3FF0)), record(q, kA, ipv4(192, 0, 2, 53))});
         },
         nullptr},
        {"answer count larger than the records sent",
         [&](const Bytes& r) { return answer(r, 3, 0, 0, {record(q, kA, ipv4(192, 0, 2, 54))}); },
         nullptr},
        {"additional count larger than the records sent",
         [&](const Bytes& r) { return answer(r, 1, 0, 2, {record(q, kA, ipv4(192, 0, 2, 55))}); },
         nullptr},
        {"record cut inside its fixed fields",
         [&](const Bytes& r) {
             return answer(r, 1, 0, 0, {q + Bytes{0, 1, 0, 1, 0}});
         },
         nullptr},
        {"record data shorter than its length",
         [&](const Bytes& r) {
             return answer(r, 1, 0, 0, {record(q, kA, {192, 0}, 4)});
         },
         nullptr},
        {"label running past the end",
         [&](const Bytes& r) {
             return answer(r, 1, 0, 0, {Bytes{63, 'a', 'b'}});
         },
         nullptr},
        {"A record data of 6 bytes",
         [&](const Bytes& r) {
             return answer(r, 1, 0, 0, {record(q, kA, {192, 0, 2, 56, 0, 0})});
         },
         nullptr},
        {"owner name over 255 bytes",
         [&](const Bytes& r) {
             return answer(r, 1, 0, 0, {record(longName, kA, ipv4(192, 0, 2, 57))});
         },
         nullptr},
        {"reserved label type",
         [&](const Bytes& r) {
             return answer(r, 1, 0, 0, {record(Bytes{0x40, 0}, kA, ipv4(192, 0, 2, 58))});
         },
         nullptr},
        {"reply shorter than the question",
         [&](const Bytes& r) { return Bytes(r.begin(), r.begin() + 6) + Bytes{0, 1, 0, 0, 0, 0}; },
         nullptr},
    };

    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.label);
        pub->setReply(c.reply);
        EXPECT_EQ(resolveDnsName("dvr.example.net"), c.expected ? addressOf(c.expected) : -1);
        EXPECT_EQ(pub->queries().size(), 1u);
    }
}

TEST_F(DnsResolverTest, QueryCarriesTheNameAsTypedAndGoesOutOnce) {
    ddns->setReply(answerWith("192.0.2.2"));
    EXPECT_EQ(resolveDnsName("MyDvr.ZAQDDNS.net"), addressOf("192.0.2.2"));

    const Bytes expected = {0xFF, 0xFF, 0x01, 0x00, 0,   1,   0,   0,   0, 0, 0, 0,  // header
                            5,    'M',  'y',  'D',  'v', 'r',                        // "MyDvr"
                            7,    'Z',  'A',  'Q',  'D', 'D', 'N', 'S',              // "ZAQDDNS"
                            3,    'n',  'e',  't',  0,                               // "net"
                            0,    1,    0,    1};  // type A, class IN
    const std::vector<Bytes> sent = ddns->queries();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], expected);
}

TEST_F(DnsResolverTest, DdnsNamesGoToTheProvidersServerOthersToThePublicOne) {
    const std::string a60(60, 'a');
    const struct {
        std::string name;
        bool toDdns;
    } cases[] = {
        {"cam.zaqddns.net", true},
        {"MyDvr.ZaqDDNS.NET", true},
        {"dvr.example.org", false},
        {"zaqddns.example.org", false},
        // Only the first 80 characters are looked at.
        {a60 + ".bbbbbbb.zaqddns.net", true},    // 80 characters
        {a60 + ".bbbbbbbb.zaqddns.net", false},  // 81: the domain's last letter is past 80
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pub->setReply(answerWith("192.0.2.1"));
        ddns->setReply(answerWith("192.0.2.2"));
        EXPECT_EQ(resolveDnsName(c.name.c_str()), addressOf(c.toDdns ? "192.0.2.2" : "192.0.2.1"));
        EXPECT_EQ(ddns->queries().size(), c.toDdns ? 1u : 0u);
        EXPECT_EQ(pub->queries().size(), c.toDdns ? 0u : 1u);
    }
}

TEST_F(DnsResolverTest, NamesThatCannotBeSentInLabelFormFail) {
    const std::string l63(63, 'a');
    const struct {
        std::string name;
        bool valid;
    } cases[] = {
        {"", false},
        {"dvr..example.net", false},
        {".dvr.example.net", false},
        {"dvr.example.net.", false},
        {l63 + ".net", true},
        {l63 + "a.net", false},                                      // label of 64
        {l63 + "." + l63 + "." + l63 + "." + l63.substr(2), true},   // 253 characters
        {l63 + "." + l63 + "." + l63 + "." + l63.substr(1), false},  // 254
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pub->setReply(answerWith("192.0.2.1"));
        EXPECT_EQ(resolveDnsName(c.name.c_str()), c.valid ? addressOf("192.0.2.1") : -1);
        EXPECT_EQ(pub->queries().size(), c.valid ? 1u : 0u);
    }
    EXPECT_EQ(resolveDnsName(nullptr), -1);
}

TEST_F(DnsResolverTest, WaitsAboutThreeSecondsForAnAnswer) {
    pub->setReply(answerWith("192.0.2.60"), 1000);
    EXPECT_EQ(resolveDnsName("late.example.net"), addressOf("192.0.2.60"));

    pub->setReply(nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(resolveDnsName("silent.example.net"), -1);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(2900));
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_EQ(pub->queries().size(), 1u);
}

TEST_F(DnsResolverTest, CancelledSessionThreadStopsWaiting) {
    pub->setReply(nullptr);
    std::atomic<bool> cancel{false};
    int32_t result = 0;
    Clock::duration waited{};
    std::thread session([&] {
        setCurrentCancelFlag(&cancel);
        const auto start = Clock::now();
        result = resolveDnsName("silent.example.net");
        waited = Clock::now() - start;
        setCurrentCancelFlag(nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel = true;
    session.join();
    EXPECT_EQ(result, -1);
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
}

}  // namespace
}  // namespace zaq
