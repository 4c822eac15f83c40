// Replies of the DVR: the synchronous reader used during the first connection's handshake and
// the command-block reply table shared with the receive loops.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/StreamObject.h"
#include "protocol/cancel.h"
#include "protocol/log.h"
#include "protocol/wire.h"

namespace zaq {
namespace {

constexpr size_t kReplyBuffer = 65536;
constexpr auto kQuietLimit = std::chrono::seconds(10);

const char* findIn(const char* text, size_t length, const char* needle) {
    return static_cast<const char*>(memmem(text, length, needle, std::strlen(needle)));
}

// Decimal value after "Content-Length: " (as atoi reads it), 0 when absent; *at gets the
// header's offset.
long contentLength(const char* text, size_t length, size_t* at) {
    const char* p = findIn(text, length, "Content-Length: ");
    if (!p) return 0;
    if (at) *at = size_t(p - text);
    return std::strtol(p + 16, nullptr, 10);
}

// Copies the characters after `key` up to CR, LF or the end into dst (at most dstSize - 1).
void copyLineValue(const char* text, size_t length, const char* key, char* dst, size_t dstSize) {
    const char* p = findIn(text, length, key);
    if (!p) return;
    p += std::strlen(key);
    const char* end = text + length;
    size_t n = 0;
    while (p + n < end && p[n] != '\r' && p[n] != '\n' && p[n] != 0 && n + 1 < dstSize)
        ++n;
    std::memcpy(dst, p, n);
    dst[n] = 0;
}

}  // namespace

const char* StreamObject::loginRefusalText(int result) {
    switch (result) {
        case -1:
            return "Invalid device";
        case -2:
            return "Invalid ID";
        case -3:
            return "Invalid Password";
        case -4:
            return "Max connection";
        case -5:
            return "Local user access";
        case -6:
            return "Another user access";
        case -7:
            return "Client access off";
        default:
            return "Unsupported DVR";
    }
}

int StreamObject::getProtVersion(const char* text, int slot) {
    static const char* const kPrefixes[] = {"User-Agent: ZAQC-", "User-Agent: ZORMAX-"};
    for (int i = 0; i < 2; ++i) {
        const char* p = std::strstr(text, kPrefixes[i]);
        if (!p) continue;
        if (i == 0) zlog("%d, %s", int(m_last_command[slot]), p);
        char digits[4] = {0};
        std::strncpy(digits, p + std::strlen(kPrefixes[i]), 3);
        return std::atoi(digits);
    }
    return 1;
}

int StreamObject::applyCommandReply(int slot, const uint8_t* body, size_t length, int* result) {
    using wire::byteAt;
    int code = int8_t(byteAt(body, length, 8));
    int res = int8_t(byteAt(body, length, 16));
    if (result) *result = res;
    int ch = m_ch[slot];
    switch (code) {
        case REPLY_LOGIN:
            if (res < 0) {
                setErrorString(loginRefusalText(res));
                break;
            }
            m_loginParam[slot].device_type = byteAt(body, length, 17);
            m_loginParam[slot].oem_type = byteAt(body, length, 18);
            m_loginParam[slot].max_channel = byteAt(body, length, 19);
            m_loginParam[slot].user_rights = byteAt(body, length, 20);
            m_loginParam[slot].web_port = wire::le16At(body, length, 22);
            ++m_connect_success;
            break;
        case REPLY_KEEPALIVE: {
            uint32_t form = wire::le32At(body, length, 4);
            if (form != 112 && form != 36 && form != 32) break;
            tKEEP_ALIVE& k = m_keepalive[slot];
            k.live_time = int32_t(wire::le32At(body, length, 20));
            uint8_t* flags[] = {&k.video, &k.select, &k.sensor, &k.motion,
                                &k.audio, &k.alarm,  &k.record, &k.covert};
            for (int i = 0; i < 8; ++i)
                *flags[i] = byteAt(body, length, 24 + size_t(i));
            k.hdd_space = int32_t(wire::le32At(body, length, 32));
            if (form == 32) break;
            k.livestreamtype = byteAt(body, length, 36);
            k.sslHigh = byteAt(body, length, 37);
            k.sslLow = byteAt(body, length, 38);
            k.reserved3 = byteAt(body, length, 39);
            if (form == 112) m_websslport = uint16_t(k.sslHigh * 256 + k.sslLow);
            break;
        }
        case MSG_RTSP_SEARCHTRANSFER:
            zlog("MSG_RTSP_SEARCHTRANSFER m_ch = %d error_code = %d \n", ch, res);
            break;
        case MSG_RTSP_STORLOGDATE:
            m_logdateParam[slot].day_mask = int32_t(wire::le32At(body, length, 20));
            zlog("MSG_RTSP_STORLOGDATE m_ch = %d error_code = %d \n", ch, res);
            break;
        case MSG_RTSP_STORLOGINFO: {
            tLOGINFO_PARAM& info = m_loginfoParam[slot];
            info.dls_begin = int32_t(wire::le32At(body, length, 20));
            info.dls_end = int32_t(wire::le32At(body, length, 24));
            if (info.time_line.empty()) {
                info.time_line.resize(kTimeLineSize);
                zlog("m_loginfoParam[ %02d ]->time_line Malloc", slot);
            }
            for (size_t i = 0; i < kTimeLineSize; ++i)
                info.time_line[i] = byteAt(body, length, 28 + i);
            zlog("MSG_RTSP_STORLOGINFO m_ch = %d error_code = %d \n", ch, res);
            break;
        }
        case MSG_RTSP_PTZCONTROL:
            zlog("MSG_RTSP_PTZCONTROL m_ch = %d error_code = %d \n", ch, res);
            break;
        case REPLY_ALARMOUT:
            zlog("REPLY_ALARMOUT \n");
            break;
        case REPLY_AUDIOTRANSFER:
            zlog("REPLY_AUDIOTRANSFER m_ch = %d error_code = %d \n", ch, res);
            break;
        case REPLY_CHANNELNAME: {
            uint8_t title[50];
            for (size_t i = 0; i < sizeof title; ++i)
                title[i] = byteAt(body, length, 16 + i);
            setChannelName(slot, title, strnlen(reinterpret_cast<char*>(title), sizeof title));
            break;
        }
        default:
            break;  // 24 and 40 carry only a result; the callers log them
    }
    return code;
}

int StreamObject::recvRTSP(int slot) {
    int sock = m_socks[slot];
    if (sock == -1) return -1;
    // One spare zero byte keeps the text searches inside the buffer.
    std::vector<char> buf(kReplyBuffer + 1, 0);
    size_t held = 0;

    // Header: read until the reply's empty line has arrived. A DVR that stays silent with the
    // connection open fails the read after kQuietLimit instead of holding the session.
    auto lastProgress = std::chrono::steady_clock::now();
    for (;;) {
        if (held == kReplyBuffer) {
            zlog("recvRTSP.1 - errno: %d", EMSGSIZE);
            failSession(-3);
            return -3;
        }
        ssize_t count = recv(sock, buf.data() + held, kReplyBuffer - held, 0);
        if (count < 0) {
            if (errno == EINPROGRESS || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                if (!sleepUnlessCancelled(10) ||
                    std::chrono::steady_clock::now() - lastProgress > kQuietLimit) {
                    zlog("recvRTSP.1 - errno: %d", ETIMEDOUT);
                    failSession(-3);
                    return -3;
                }
                sock = m_socks[slot];
                continue;
            }
            zlog("recvRTSP.1 - errno: %d", errno);
            failSession(-3);
            return -3;
        }
        zlog("RECV > [%ld] %s\n", long(count), buf.data());
        if (count > 0 && held + size_t(count) < 4 && buf[0] != '$') {
            // Too few bytes to tell a reply from anything else yet.
            held += size_t(count);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (std::memcmp(buf.data(), "RTSP", 4) != 0) {
            if (buf[0] == '$') return 0;  // an interleaved packet came first: dropped
            zlog("Invalid Packet Detected!!!!!!!");
            failSession(-3);
            return -3;
        }
        if (count == 0) {  // closed before the header was complete
            zlog("recvRTSP.1 - errno: %d", ECONNRESET);
            failSession(-3);
            return -3;
        }
        held += size_t(count);
        lastProgress = std::chrono::steady_clock::now();
        if (findIn(buf.data(), held, "\r\n\r\n")) break;
        if (!sleepUnlessCancelled(10)) {
            failSession(-3);
            return -3;
        }
    }

    // Body: wait until Content-Length bytes behind the header's end have arrived, so that no
    // part of this reply is left to be mistaken for the start of the next one.
    size_t headerEnd = size_t(findIn(buf.data(), held, "\r\n\r\n") - buf.data()) + 4;
    long cl = contentLength(buf.data(), held, nullptr);
    if (cl > long(kReplyBuffer - headerEnd)) {
        zlog("recvRTSP.2 - errno: %d", EMSGSIZE);
        failSession(-3);
        return -3;
    }
    size_t need = headerEnd + size_t(cl > 0 ? cl : 0);
    lastProgress = std::chrono::steady_clock::now();
    while (held < need) {
        ssize_t count = recv(sock, buf.data() + held, need - held, 0);
        if (count < 0 &&
            (errno == EINPROGRESS || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (currentThreadCancelled() ||
                std::chrono::steady_clock::now() - lastProgress > kQuietLimit) {
                zlog("recvRTSP.2 - errno: %d", ETIMEDOUT);
                failSession(-3);
                return -3;
            }
            sleepMs(1);
            continue;
        }
        if (count <= 0) {  // a hard error, or the body cut short by a closed connection
            zlog("recvRTSP.2 - errno: %d", count < 0 ? errno : ECONNRESET);
            failSession(-3);
            return -3;
        }
        held += size_t(count);
        lastProgress = std::chrono::steady_clock::now();
    }

    applyReply(slot, buf.data(), held);
    if (m_last_command[slot] == CMD_DESCRIBE && contentLength(buf.data(), held, nullptr) == 0) {
        return -3;
    }
    if (m_last_command[slot] == CMD_GET_PARAMETER) {
        const char* bodyStart = findIn(buf.data(), held, "\r\n\r\n") + 4;
        size_t bodyLen = held - size_t(bodyStart - buf.data());
        if (contentLength(buf.data(), held, nullptr) != 0 &&
            int8_t(wire::byteAt(reinterpret_cast<const uint8_t*>(bodyStart), bodyLen, 8)) ==
                REPLY_LOGIN &&
            int8_t(wire::byteAt(reinterpret_cast<const uint8_t*>(bodyStart), bodyLen, 16)) < 0) {
            return -1;
        }
    }
    return 0;
}

void StreamObject::applyOptionsReply(int slot, const char* header, size_t length) {
    const std::string text(header, length);  // terminated for the version reader
    const size_t at = text.find("GET_PARAMETER");
    if (at == std::string::npos) return;
    m_get_parameter[slot] = 1;
    m_protVersion = getProtVersion(text.c_str() + at, slot);
}

// Applies one complete reply (header and what arrived of its body) by the slot's last command.
void StreamObject::applyReply(int slot, const char* text, size_t held) {
    switch (m_last_command[slot]) {
        case CMD_OPTIONS:
            applyOptionsReply(slot, text, held);
            break;
        case CMD_DESCRIBE: {
            zlog("RTSP_DESCRIBE 0[%02d]", slot);
            if (contentLength(text, held, nullptr) == 0) break;
            SESSION_DESCRIPTION_PROTOCOL& sdp = m_sdp[slot];
            sdp.cur_field = 0;
            sdp.field_count = 0;
            if (findIn(text, held, "m=video")) {
                copyText(sdp.control[0], "video");
                ++sdp.field_count;
            }
            if (findIn(text, held, "m=audio")) {
                copyText(sdp.control[1], "audio");
                ++sdp.field_count;
            }
            break;
        }
        case CMD_SETUP:
            if (m_rtp_protocol[slot] != 0) {
                std::lock_guard<std::mutex> lock(m_sessionLock);
                copyLineValue(text, held, "Session: ", m_session[slot], kTextSize);
            }
            break;
        case CMD_GET_PARAMETER: {
            if (contentLength(text, held, nullptr) == 0) break;
            const char* bodyStart = findIn(text, held, "\r\n\r\n") + 4;
            size_t bodyLen = held - size_t(bodyStart - text);
            zlog("<<p>> %s", bodyStart);
            const auto* body = reinterpret_cast<const uint8_t*>(bodyStart);
            int result = 0;
            int code = applyCommandReply(slot, body, bodyLen, &result);
            if (code == REPLY_LOGIN && result < 0) {
                zlog("Connect failed... error_code : %d ch[%d]", result, slot);
            } else if (code == REPLY_LOGIN) {
                zlog("[%d]device_type[%d]oem_type[%d]cs[%d]\n", slot,
                     m_loginParam[slot].device_type, m_loginParam[slot].oem_type,
                     int(m_connect_success));
            } else if (code == REPLY_LIVETRANSFER) {
                zlog("######### RELPY_RTSP_LIVETRANSFER ch = %d error_code = %d\n", m_ch[slot],
                     result);
            } else if (code == REPLY_BACKUP) {
                zlog("REPLY_BACKUP0 m_ch[%d]", m_ch[slot]);
            } else if (code == REPLY_CHANNELNAME) {
                zlog("REPLY_CHANNELNAME0 m_ch = %d name = %s \n", m_ch[slot],
                     channelName(slot).c_str());
            }
            break;
        }
        case CMD_PLAY:
            zlog("RTSP_PLAY0");
            break;
        default:
            zlog("[ ch:%d ] RTSP_UNKNOWN \n", m_ch[slot]);
            break;
    }
}

}  // namespace zaq
