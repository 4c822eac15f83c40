#include "protocol/StreamObject.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "protocol/cancel.h"
#include "protocol/dns_resolver.h"
#include "protocol/log.h"

namespace zaq {

const char* sessionKindWord(int kind) {
    static const char* const kWords[] = {"Playback", "Live", "Backup"};
    return kind >= 0 && kind < 3 ? kWords[kind] : "";
}

StreamObject::StreamObject() {
    for (int i = 0; i < kMaxSlots; ++i) {
        m_socks[i] = -1;
        m_last_command[i] = CMD_NONE;
        m_get_parameter[i] = 0;
        m_lastFrameTime[i] = 0;
        m_framesStored[i] = 0;
    }
    std::memset(m_send_buffer, 0, sizeof m_send_buffer);
    std::memset(m_session, 0, sizeof m_session);
    std::memset(m_sdp, 0, sizeof m_sdp);
    std::memset(m_dvr_addr, 0, sizeof m_dvr_addr);
    std::memset(m_dvr_id, 0, sizeof m_dvr_id);
    std::memset(m_dvr_pwd, 0, sizeof m_dvr_pwd);
    std::memset(m_liveParam, 0, sizeof m_liveParam);
    std::memset(m_searchParam2, 0, sizeof m_searchParam2);
    std::memset(m_logdateParam, 0, sizeof m_logdateParam);
    std::memset(m_ptzParam, 0, sizeof m_ptzParam);
    for (auto& b : m_backupParam) b = {};
    std::memset(m_alarmParam, 0, sizeof m_alarmParam);
    std::memset(m_loginParam, 0, sizeof m_loginParam);
    std::memset(m_keepalive, 0, sizeof m_keepalive);
    std::memset(m_errorString, 0, sizeof m_errorString);
    std::memset(m_channelName, 0, sizeof m_channelName);
    m_bIFrame.fill(1);
}

StreamObject::~StreamObject() = default;

void StreamObject::resetSessionSlot(int slot, uint32_t seed, int kind) {
    m_ch[slot] = slot;
    m_socks[slot] = -1;
    {
        std::lock_guard<std::mutex> lock(m_sendLock[slot]);
        m_rtsp_seq[slot] |= seed;
        std::memset(m_send_buffer[slot], 0, kTextSize);
    }
    m_last_command[slot] = CMD_NONE;
    m_rtp_protocol[slot] = 1;
    m_device[slot] = 1;
    m_get_parameter[slot] = 0;
    m_bLogin[slot] = 1;
    m_islive[slot] = kind;
    {
        std::lock_guard<std::mutex> lock(m_sessionLock);
        std::memset(m_session[slot], 0, kTextSize);
    }
    std::memset(&m_sdp[slot], 0, sizeof m_sdp[slot]);
    m_liveParam[slot] = {};
    m_loginParam[slot] = {};
    m_loginfoParam[slot].clear();
    m_ptzParam[slot] = {};
    m_alarmParam[slot] = {};
    m_logdateParam[slot] = {};
    m_searchParam[slot].clear();
    m_searchParam2[slot] = {};
    m_backupParam[slot] = {};
    m_keepalive[slot] = {};
    m_framesStored[slot] = 0;
    std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
    m_bIFrame[slot] = 1;
    m_stBuffer[slot].release();
}

std::string StreamObject::errorString() const {
    std::lock_guard<std::mutex> lock(m_textLock);
    return m_errorString;
}

void StreamObject::setErrorString(const char* text) {
    std::lock_guard<std::mutex> lock(m_textLock);
    copyText(m_errorString, text);
}

std::string StreamObject::channelName(int slot) const {
    if (slot < 0 || slot >= kMaxSlots) return {};
    std::lock_guard<std::mutex> lock(m_textLock);
    return m_channelName[slot];
}

void StreamObject::setChannelName(int slot, const uint8_t* text, size_t length) {
    if (slot < 0 || slot >= kMaxSlots) return;
    std::lock_guard<std::mutex> lock(m_textLock);
    std::memset(m_channelName[slot], 0, kTextSize);
    std::memcpy(m_channelName[slot], text, std::min(length, size_t(kTextSize - 1)));
}

void StreamObject::failSession(int value) {
    int32_t expected = 0;
    // Only the first failure is kept; a later one must not turn -3 into -2 or back.
    while (expected >= 0 && !m_last_errno.compare_exchange_weak(expected, value)) {
    }
}

std::string StreamObject::sessionOfSlot0() const {
    std::lock_guard<std::mutex> lock(m_sessionLock);
    return m_session[0];
}

// ---------------------------------------------------------------------------------------------
// Opening a connection

namespace {

// Socket options every DVR connection gets, in this order. False when one is refused.
bool setDvrSocketOptions(int sock, int sendBuffer) {
    int one = 1;
    int snd = sendBuffer;
    int rcv = 65536;
    if (setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0) return false;
    if (setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd) < 0) return false;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv) < 0) return false;
    // Linux has no per-socket SIGPIPE option: every send passes MSG_NOSIGNAL instead.
    int nbio = 1;
    return ioctl(sock, FIONBIO, &nbio) == 0;
}

}  // namespace

int openTcpSocket(uint32_t addrNetOrder, int port, int sendBuffer, int waitMs, bool* connectedAtOnce,
                  bool* cancelled) {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) return -1;
    if (!setDvrSocketOptions(sock, sendBuffer)) {
        close(sock);
        return -1;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = addrNetOrder;
    int rc = connect(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    *connectedAtOnce = rc == 0;
    if (rc < 0 && errno != EINPROGRESS) {
        zlog("connect failed: errno %d", errno);
        close(sock);
        return -1;
    }
    if (rc == 0) return sock;

    // One wait of waitMs, sliced so that a stop request is seen within 100 ms.
    for (int waited = 0;; waited += 100) {
        if (currentThreadCancelled()) {
            *cancelled = true;
            close(sock);
            return -1;
        }
        if (waited >= waitMs) {
            zlog("connect time-out: pass 1, select 0");
            zlog("connect failed");
            close(sock);
            return -1;
        }
        fd_set rd, wr;
        FD_ZERO(&rd);
        FD_ZERO(&wr);
        FD_SET(sock, &rd);
        FD_SET(sock, &wr);
        timeval tv{0, 100 * 1000};
        int n = select(sock + 1, &rd, &wr, nullptr, &tv);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            zlog("connect time-out: pass 1, select %d", n);
            zlog("connect failed");
            close(sock);
            return -1;
        }
        if (n == 0) continue;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0) {
            zlog("connection error: %d", err);
            close(sock);
            return -1;
        }
        return sock;
    }
}

int StreamObject::connectToDvr(const char* address, int port) {
    if (!address || !*address) return -1;
    int32_t cached = m_device_s_addr.load();
    uint32_t addr;
    if (cached != -1) {
        addr = uint32_t(cached);
    } else {
        in_addr parsed{};
        if (inet_pton(AF_INET, address, &parsed) == 1) {
            addr = parsed.s_addr;
        } else {
            int32_t resolved = resolveDnsName(address);
            if (resolved == -1) {
                zlog("Network access not available... 1");
                return -1;
            }
            addr = uint32_t(resolved);
        }
        m_device_s_addr = int32_t(addr);
    }
    bool atOnce = false, cancelled = false;
    int sock = openTcpSocket(addr, port, 4096, 10000, &atOnce, &cancelled);
    if (sock >= 0) zlog("connect success: socket %d", sock);
    return sock;
}

// ---------------------------------------------------------------------------------------------
// Sending

int StreamObject::tcpSend(int sock, const uint8_t* data, int length) {
    if (sock == -1) return -2;
    int sent = 0;
    do {
        if (m_last_errno.load() != 0) return -2;
        // One 9 s wait for writability, sliced so that a stopping thread gives up early.
        int n = 0;
        fd_set wr;
        for (int waited = 0; n == 0 && waited < 9000; waited += 100) {
            if (currentThreadCancelled()) return -1;
            FD_ZERO(&wr);
            FD_SET(sock, &wr);
            timeval tv{0, 100 * 1000};
            n = select(sock + 1, nullptr, &wr, nullptr, &tv);
            if (n < 0 && errno == EINTR) n = 0;
        }
        if (n < 0) {
            zlog("tcpSend:select error : %d", errno);
            return -1;
        }
        if (n == 0) {
            zlog("tcpSend:select timeout %d", errno);
            return -1;
        }
        if (!FD_ISSET(sock, &wr)) {
            zlog("not ready - tcpSend: %d", errno);
            sleepMs(10);
            continue;
        }
        ssize_t r = send(sock, data + sent, size_t(length - sent), MSG_NOSIGNAL);
        if (r >= 0) {
            sent += int(r);
            continue;
        }
        int err = errno;
        sleepMs(10);
        if (err == EAGAIN || err == EWOULDBLOCK) {
            sleepMs(10);
            zlog("1. tcpSend:errno, [%d][%d]", err, -1);
            continue;
        }
        failSession(-2);
        std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size_t(length)));
        zlog("2, tcpSend:errno [%d][%d][%d=%d] [%s]", err, -1, sent, length, text.c_str());
        return -2;
    } while (sent < length);
    return 0;
}

}  // namespace zaq
