#include "protocol/dns_resolver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "protocol/cancel.h"
#include "protocol/log.h"
#include "protocol/net_config.h"
#include "protocol/wire.h"

namespace zaq {
namespace {

// Header (RFC 1035 4.1.1), all fields big-endian:
//   0 id | 2 flags | 4 QDCOUNT | 6 ANCOUNT | 8 NSCOUNT | 10 ARCOUNT
constexpr uint16_t kQueryId = 0xFFFF;
constexpr uint16_t kFlagRecursionDesired = 0x0100;
constexpr size_t kAnswerCountOffset = 6;
constexpr size_t kAuthorityCountOffset = 8;
constexpr size_t kAdditionalCountOffset = 10;

// Resource record after its owner name (RFC 1035 4.1.3):
//   0 TYPE | 2 CLASS | 4 TTL (32 bits) | 8 RDLENGTH | 10 RDATA
constexpr size_t kRecordFixedSize = 10;
constexpr size_t kRecordDataLengthOffset = 8;

enum class Section { Answer, Authority, Additional };

constexpr uint16_t kTypeA = 1;
constexpr uint16_t kTypeNS = 2;
constexpr uint16_t kTypeCNAME = 5;
constexpr uint16_t kTypePTR = 12;
constexpr uint16_t kClassIN = 1;

// A length byte of 0xC0 or more starts a 14-bit compression pointer; 0x40..0xBF are label
// types nobody uses any more and are refused.
constexpr uint8_t kPointerTag = 0xC0;
constexpr size_t kMaxNameWireLength = 255;
// A name of 255 bytes has at most 127 labels, so no honest name needs more jumps; the cap is what
// ends pointer loops.
constexpr int kMaxPointerJumps = 127;

// How the server is picked and how long its answer is awaited.
constexpr size_t kServerChoicePrefix = 80;
constexpr int kReceiveTries = 300;
constexpr int kReceiveRetryMs = 10;
constexpr size_t kAnswerCapacity = 65536;

// Checks the possibly compressed name at `pos`; on success *next is the offset just past the
// name's bytes at `pos` (a pointer ends them). Only the name's place matters to us, not its text.
bool skipName(const uint8_t* p, size_t len, size_t pos, size_t* next) {
    size_t wireLength = 0;
    int jumps = 0;
    bool jumped = false;
    for (;;) {
        if (pos >= len) return false;
        const uint8_t b = p[pos];
        if (b >= kPointerTag) {
            if (len - pos < 2) return false;
            // (byte * 256 + next byte) - 0xC000: an offset into the whole packet.
            const size_t target = (size_t(b & 0x3F) << 8) | p[pos + 1];
            if (target >= len || ++jumps > kMaxPointerJumps) return false;
            if (!jumped) *next = pos + 2;
            jumped = true;
            pos = target;
            continue;
        }
        if (b > kDnsMaxLabelLength) return false;
        wireLength += 1 + b;
        if (wireLength > kMaxNameWireLength) return false;
        if (b == 0) {
            if (!jumped) *next = pos + 1;
            return true;
        }
        if (len - pos - 1 < b) return false;
        pos += 1 + b;
    }
}

struct Record {
    uint16_t type;
    size_t data;  // offset of the record data
    uint16_t dataLength;
};

// Reads one resource record at *pos and moves *pos past it. Record data is always skipped by its
// stated length; the names inside CNAME, NS and PTR data are checked as well.
bool readRecord(const uint8_t* p, size_t len, size_t* pos, Record* rec) {
    size_t at = 0;
    if (!skipName(p, len, *pos, &at)) return false;
    if (len - at < kRecordFixedSize) return false;
    rec->type = wire::rdBE16(p + at);
    rec->dataLength = wire::rdBE16(p + at + kRecordDataLengthOffset);
    at += kRecordFixedSize;
    if (len - at < rec->dataLength) return false;
    rec->data = at;
    *pos = at + rec->dataLength;

    if (rec->type == kTypeA) return rec->dataLength == 4;
    if (rec->type == kTypeCNAME || rec->type == kTypeNS || rec->type == kTypePTR) {
        size_t end = 0;
        return skipName(p, len, rec->data, &end) && end <= *pos;
    }
    return true;
}

// Lower-cased copy of the first 80 characters: the server choice looks at no more.
std::string serverChoiceKey(const char* name) {
    std::string key(name, strnlen(name, kServerChoicePrefix));
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return key;
}

// Closes a socket without lingering when it goes out of scope.
class SocketGuard {
  public:
    explicit SocketGuard(int fd) : m_fd(fd) {}
    ~SocketGuard() {
        linger noLinger{1, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
        close(m_fd);
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;

  private:
    int m_fd;
};

}  // namespace

std::string dnsServerFor(const char* name) {
    const NetConfig& cfg = netConfig();
    const std::string key = serverChoiceKey(name ? name : "");
    if (!cfg.ddnsDomain.empty() && key.find(cfg.ddnsDomain) != std::string::npos) {
        return cfg.ddnsNameServer;
    }
    return publicResolverAddress();
}

int buildDnsQuery(const char* name, uint8_t* out, size_t capacity) {
    if (name == nullptr) return -1;
    const size_t n = strnlen(name, kDnsMaxNameLength + 1);
    if (n == 0 || n > kDnsMaxNameLength) return -1;
    const size_t total = kDnsHeaderSize + n + 2 + 4;
    if (out == nullptr || capacity < total) return -1;

    std::memset(out, 0, kDnsHeaderSize);
    wire::wrBE16(out, kQueryId);
    wire::wrBE16(out + 2, kFlagRecursionDesired);
    wire::wrBE16(out + 4, 1);

    // Each dot-separated part becomes its length byte and its characters.
    size_t at = kDnsHeaderSize;
    const std::string_view text(name, n);
    size_t start = 0;
    for (;;) {
        const size_t dot = std::min(text.find('.', start), n);
        const size_t labelLength = dot - start;
        if (labelLength == 0 || labelLength > kDnsMaxLabelLength) return -1;
        out[at++] = uint8_t(labelLength);
        std::memcpy(out + at, name + start, labelLength);
        at += labelLength;
        if (dot == n) break;
        start = dot + 1;
    }
    out[at++] = 0;
    wire::wrBE16(out + at, kTypeA);
    wire::wrBE16(out + at + 2, kClassIN);
    return int(at + 4);
}

int32_t parseDnsAnswer(const uint8_t* packet, size_t length, size_t queryLength) {
    if (packet == nullptr || length < kDnsHeaderSize || queryLength < kDnsHeaderSize ||
        queryLength > length) {
        return -1;
    }
    const auto sectionCount = [&](size_t offset) {
        return std::min<int>(wire::rdBE16(packet + offset), kDnsMaxRecordsPerSection);
    };
    const int answers = sectionCount(kAnswerCountOffset);
    if (answers == 0) return -1;

    const struct {
        Section section;
        int count;
    } sections[] = {
        {Section::Answer, answers},
        {Section::Authority, sectionCount(kAuthorityCountOffset)},
        {Section::Additional, sectionCount(kAdditionalCountOffset)},
    };
    // 255.255.255.255 would read as -1 as well; it is no usable DVR address either.
    int32_t address = -1;
    size_t pos = queryLength;
    for (const auto& s : sections) {
        for (int i = 0; i < s.count; ++i) {
            Record rec{};
            if (!readRecord(packet, length, &pos, &rec)) return -1;
            // A records of the other sections are addresses of other names (name servers).
            if (s.section == Section::Answer && rec.type == kTypeA) {
                std::memcpy(&address, packet + rec.data, 4);
            }
        }
    }
    return address;
}

int32_t resolveDnsName(const char* name) {
    uint8_t query[kDnsHeaderSize + kDnsMaxNameLength + 6];
    const int queryLength = buildDnsQuery(name, query, sizeof query);
    if (queryLength < 0) {
        zlog("dns: not a name to ask for: \"%.80s\"", name ? name : "");
        return -1;
    }

    const std::string server = dnsServerFor(name);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(netConfig().dnsPort);
    if (inet_pton(AF_INET, server.c_str(), &to.sin_addr) != 1) {
        zlog("dns: bad name server address \"%s\"", server.c_str());
        return -1;
    }

    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) return -1;
    SocketGuard guard(sock);
    int nonBlocking = 1;
    if (ioctl(sock, FIONBIO, &nonBlocking) < 0) return -1;

    // Sent once; a send error only shows up here, the wait below then runs out.
    if (sendto(sock, query, size_t(queryLength), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) < 0) {
        zlog("sendto: %d  error", errno);
    }

    // The first datagram is taken as the answer; neither its id nor its sender is compared.
    std::vector<uint8_t> answer(kAnswerCapacity);
    ssize_t received = -1;
    for (int tries = 0;;) {
        received = recvfrom(sock, answer.data(), answer.size(), 0, nullptr, nullptr);
        if (received >= 0) break;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            zlog("dns: recvfrom error %d for %s", errno, name);
            return -1;
        }
        if (++tries >= kReceiveTries || !sleepUnlessCancelled(kReceiveRetryMs)) {
            zlog("dns: no answer from %s for %s", server.c_str(), name);
            return -1;
        }
    }

    const int32_t address = parseDnsAnswer(answer.data(), size_t(received), size_t(queryLength));
    if (address == -1) {
        zlog("dns: no IPv4 address for %s in %zd bytes from %s", name, received, server.c_str());
    } else {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address, text, sizeof text);
        zlog("Name  :  %s has IPv4 address :  %s", name, text);
    }
    return address;
}

}  // namespace zaq
