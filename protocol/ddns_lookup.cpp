// The brand DDNS web lookup: ask the provider's web server for a DDNS name over HTTP and take the
// DVR's real address from the link of the redirect page it returns.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "protocol/StreamObject.h"
#include "protocol/cancel.h"
#include "protocol/dns_resolver.h"
#include "protocol/log.h"
#include "protocol/net_config.h"

namespace zaq {
namespace {

constexpr int kConnectWaitMs = 7000;
constexpr int kReplyWaitMs = 7000;
// Waits are cut into slices this long so that a stopped session is never held up.
constexpr int kWaitSliceMs = 100;
constexpr int kSendBufferBytes = 960;
constexpr int kReceiveBufferBytes = 65536;
constexpr size_t kReplyCapacity = 65536;

constexpr std::string_view kLinkPrefix = "<a HREF=\"http://";
// A host ends at its port separator or path, or at a character no host name has.
constexpr std::string_view kHostEnd{":/\"<> \t\r\n\0", 10};

enum class WaitResult { Ready, TimedOut, Failed };

// Waits up to `ms` for `events` on the socket, in slices, giving up when the calling session
// thread is cancelled. poll rather than select: descriptors past FD_SETSIZE stay safe.
WaitResult waitFor(int sock, short events, int ms) {
    for (int waited = 0; waited < ms; waited += kWaitSliceMs) {
        if (currentThreadCancelled()) return WaitResult::Failed;
        pollfd pfd{sock, events, 0};
        const int ready = poll(&pfd, 1, std::min(kWaitSliceMs, ms - waited));
        if (ready > 0) return WaitResult::Ready;
        if (ready < 0 && errno != EINTR) return WaitResult::Failed;
    }
    return WaitResult::TimedOut;
}

int pendingSocketError(int sock) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) < 0) return errno;
    return error;
}

bool setIntOption(int sock, int level, int name, int value) {
    return setsockopt(sock, level, name, &value, sizeof value) == 0;
}

// Opens a non-blocking TCP socket to the web service and waits for the connection: the socket,
// or -1.
int connectToService(in_addr address) {
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) return -1;
    int nonBlocking = 1;
    bool ok = setIntOption(sock, IPPROTO_TCP, TCP_NODELAY, 1) &&
              setIntOption(sock, SOL_SOCKET, SO_SNDBUF, kSendBufferBytes) &&
              setIntOption(sock, SOL_SOCKET, SO_RCVBUF, kReceiveBufferBytes);
    // Where the platform has no per-socket option, tcpSend passes MSG_NOSIGNAL instead.
#ifdef SO_NOSIGPIPE
    ok = ok && setIntOption(sock, SOL_SOCKET, SO_NOSIGPIPE, 1);
#endif
    ok = ok && ioctl(sock, FIONBIO, &nonBlocking) == 0;
    if (!ok) {
        zlog("req_morva_ddns: socket option refused: %d", errno);
        close(sock);
        return -1;
    }

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(netConfig().ddnsWebPort);
    to.sin_addr = address;
    if (connect(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return sock;
    if (errno != EINPROGRESS && errno != EWOULDBLOCK) {
        zlog("req_morva_ddns: connect failed: %d", errno);
        close(sock);
        return -1;
    }
    const WaitResult wait = waitFor(sock, POLLIN | POLLOUT, kConnectWaitMs);
    const int error = wait == WaitResult::Ready ? pendingSocketError(sock) : 0;
    if (wait != WaitResult::Ready || error != 0) {
        zlog("req_morva_ddns: no connection (wait %d, error %d)", int(wait), error);
        close(sock);
        return -1;
    }
    return sock;
}

}  // namespace

int parseDdnsReply(const char* text, size_t length, char* host, size_t hostCapacity) {
    if (text == nullptr) return -1;
    const std::string_view reply(text, length);
    if (reply.find("Location:") == reply.npos || reply.find("Server:") == reply.npos) return -1;
    // The service answers names it does not know with an error page that may still carry a link.
    if (reply.find("DVR_Error=") != reply.npos) return -2;
    size_t start = reply.find(kLinkPrefix);
    if (start == reply.npos) return -1;
    start += kLinkPrefix.size();
    const size_t end = reply.find_first_of(kHostEnd, start);
    if (end == reply.npos) return -1;
    const size_t hostLength = end - start;
    if (hostLength == 0 || host == nullptr || hostLength >= hostCapacity) return -1;
    std::memcpy(host, text + start, hostLength);
    host[hostLength] = '\0';
    return 0;
}

int StreamObject::req_morva_ddns(int slot, const char* name) {
    if (slot < 0 || slot >= kMaxSlots || name == nullptr) return -1;
    char ddnsName[kTextSize] = {};
    std::snprintf(ddnsName, sizeof ddnsName, "%s", name);
    if (ddnsName[0] == '\0') return -1;

    in_addr address{};
    if (inet_pton(AF_INET, ddnsName, &address) != 1) {
        const int32_t resolved = resolveDnsName(ddnsName);
        if (resolved == -1) {
            zlog("Network access not available... 2");
            return -1;
        }
        address.s_addr = uint32_t(resolved);
    }

    const int sock = connectToService(address);
    if (sock < 0) return -1;

    {
        // The slot's buffer and its send are ours until the request is out.
        std::lock_guard<std::mutex> lock(m_sendLock[slot]);
        char* request = m_send_buffer[slot];
        std::memset(request, 0, kTextSize);
        const int length = std::snprintf(request, kTextSize,
                                         "GET / HTTP/1.1\r\n"
                                         "Accept: */*\r\n"
                                         "User-Agent: Mozilla/4.0\r\n"
                                         "Host: %.259s\r\n\r\n",
                                         m_dvr_addr);
        // A host text too long for the buffer is refused rather than sent cut.
        const bool fits = length > 0 && length < kTextSize;
        if (!fits) std::memset(request, 0, kTextSize);
        if (!fits || tcpSend(sock, reinterpret_cast<const uint8_t*>(request), length) != 0) {
            zlog("\nreq_morva_ddns - failed: %d", slot);
            close(sock);
            return -1;
        }
        zlog("\n[%d]%s", slot, request);
    }

    // One wait and one read: the service sends its short page in one piece. After a time-out the
    // read still runs and reports the would-block result.
    const WaitResult wait = waitFor(sock, POLLIN, kReplyWaitMs);
    const int error = wait == WaitResult::Ready ? pendingSocketError(sock) : 0;
    if (wait == WaitResult::Failed || error != 0) {
        zlog("req_morva_ddns: no reply (wait %d, error %d)", int(wait), error);
        close(sock);
        return -1;
    }
    std::vector<char> reply(kReplyCapacity + 1, '\0');
    const ssize_t received = recv(sock, reply.data(), kReplyCapacity, 0);
    const int readError = errno;
    close(sock);
    if (received < 0) {
        zlog("recv_size == SOCKET_ERROR");
        if (readError != EINPROGRESS && readError != EWOULDBLOCK && readError != EAGAIN) {
            zlog("errno != EINPROGRESS && errno!= EWOULDBLOCK");
            failSession(-3);
        }
        return -1;
    }
    zlog("recv_size: %d, %s", int(received), reply.data());

    char host[kTextSize];
    const int result = parseDdnsReply(reply.data(), size_t(received), host, sizeof host);
    if (result != 0) return result;
    std::memset(m_dvr_addr, 0, sizeof m_dvr_addr);
    std::memcpy(m_dvr_addr, host, std::strlen(host));
    return 0;
}

}  // namespace zaq
