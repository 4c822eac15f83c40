// A raw TCP client for the simulator tests: sends bytes exactly as given and reads replies
// without any of the client's own parsing, so the tests see the simulator's bytes as they are.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zaq::simtest {

struct RawReply {
    std::string header;  // through CR LF CR LF
    std::vector<uint8_t> body;

    std::optional<std::string> field(std::string_view name) const {
        std::string key = "\r\n" + std::string(name) + ": ";
        size_t at = header.find(key);
        if (at == std::string::npos) return std::nullopt;
        at += key.size();
        return header.substr(at, header.find("\r\n", at) - at);
    }
    uint8_t at(size_t off) const { return off < body.size() ? body[off] : 0; }
    uint16_t le16(size_t off) const { return uint16_t(at(off) | at(off + 1) << 8); }
    uint32_t le32(size_t off) const { return uint32_t(le16(off)) | uint32_t(le16(off + 2)) << 16; }
};

class RawClient {
  public:
    // `buffer_size` > 0 shrinks both socket buffers, so that a client that stops reading
    // pushes back on the server sooner.
    explicit RawClient(uint16_t port, int buffer_size = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (buffer_size > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
            ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool send(const void* data, size_t size) {
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL);
            if (n <= 0) return false;
            p += n;
            size -= size_t(n);
        }
        return true;
    }
    bool send(std::string_view s) { return send(s.data(), s.size()); }
    bool send(const std::vector<uint8_t>& v) { return send(v.data(), v.size()); }

    // Reads one reply: header, then Content-Length bytes of body. nullopt when it does not
    // complete within the time-out or the connection ends first.
    std::optional<RawReply> readReply(int timeout_ms = 3000) {
        for (;;) {
            size_t end = buf_.find("\r\n\r\n");
            if (end != std::string::npos) {
                RawReply r;
                r.header = buf_.substr(0, end + 4);
                auto cl = r.field("Content-Length");
                size_t body = cl ? size_t(std::strtoul(cl->c_str(), nullptr, 10)) : 0;
                if (buf_.size() >= end + 4 + body) {
                    r.body.assign(buf_.begin() + std::ptrdiff_t(end + 4),
                                  buf_.begin() + std::ptrdiff_t(end + 4 + body));
                    buf_.erase(0, end + 4 + body);
                    return r;
                }
            }
            if (!readMore(timeout_ms)) return std::nullopt;
        }
    }

    // True when the peer closes the connection within the time-out (bytes still arriving are
    // read and dropped).
    bool closedByPeer(int timeout_ms = 3000) {
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeout_ms) <= 0) return false;
            char sink[4096];
            ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
            if (n <= 0) return true;
        }
    }

    int reads() const { return reads_; }  // recv calls that returned data

  private:
    bool readMore(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return false;
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        ++reads_;
        buf_.append(chunk, size_t(n));
        return true;
    }

    int fd_ = -1;
    std::string buf_;
    int reads_ = 0;
};

// Request texts as the client composes them.
inline std::string rtspRequest(std::string_view method, std::string_view url, int cseq,
                               std::string_view extra_lines = "") {
    return std::string(method) + " " + std::string(url) +
           " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + std::string(extra_lines) +
           "User-Agent: ZAQ client by network team\r\n\r\n";
}

// A GET_PARAMETER with a command block: "ZAQC", length, code, 1, version 8, 0, session, payload.
inline std::vector<uint8_t> commandRequest(int channel, int cseq, uint8_t code,
                                           std::vector<uint8_t> payload = {},
                                           uint32_t session = 5445001) {
    std::vector<uint8_t> block(16, 0);
    std::memcpy(block.data(), "ZAQC", 4);
    block.insert(block.end(), payload.begin(), payload.end());
    uint32_t len = uint32_t(block.size());
    for (int i = 0; i < 4; ++i)
        block[4 + i] = uint8_t(len >> (8 * i));
    block[8] = code;
    block[9] = 1;
    block[10] = 8;
    for (int i = 0; i < 4; ++i)
        block[12 + i] = uint8_t(session >> (8 * i));
    std::string head = "GET_PARAMETER rtsp://127.0.0.1/Live/Channel=" + std::to_string(channel) +
                       " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) +
                       "\r\nContent-Type: text/parameters\r\nSession: " + std::to_string(session) +
                       "\r\nContent-Length: " + std::to_string(block.size()) + "\r\n\r\n";
    std::vector<uint8_t> out(head.begin(), head.end());
    out.insert(out.end(), block.begin(), block.end());
    return out;
}

// The login payload: user ID at 16, password at 36, 20 bytes each, zero padded.
inline std::vector<uint8_t> loginPayload(std::string_view id, std::string_view password) {
    std::vector<uint8_t> p(40, 0);
    std::memcpy(p.data(), id.data(), std::min<size_t>(id.size(), 20));
    std::memcpy(p.data() + 20, password.data(), std::min<size_t>(password.size(), 20));
    return p;
}

}  // namespace zaq::simtest
