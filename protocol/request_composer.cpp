// Every request the client sends: the text requests and the command block of GET_PARAMETER.
// A request is composed in the slot's 260-byte buffer under the slot's send lock, so two
// threads never garble each other's request or CSeq; one that would not fit is refused.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/StreamObject.h"
#include "protocol/log.h"
#include "protocol/wire.h"

namespace zaq {
namespace {

constexpr const char* kUserAgent = "ZAQ client by network team";

// Appends formatted text to a fixed buffer; once anything did not fit, the request is void.
class RequestText {
public:
    explicit RequestText(char* buffer) : buf_(buffer) { std::memset(buf_, 0, kTextSize); }

    void line(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (overflow_) return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf_ + len_, size_t(kTextSize - len_), fmt, ap);
        va_end(ap);
        if (n < 0 || len_ + n + 2 >= kTextSize) {
            overflow_ = true;
            return;
        }
        len_ += n;
        buf_[len_++] = '\r';
        buf_[len_++] = '\n';
    }
    // The empty line that ends the header.
    void end() { line("%s", ""); }
    int length() const { return overflow_ ? -1 : len_; }

private:
    char* buf_;
    int len_ = 0;
    bool overflow_ = false;
};

// Block length of each command the composer knows; 0 for an unknown code.
int commandBlockLength(int code, int protVersion) {
    switch (code) {
        case ASK_LOGIN: return 56;
        case ASK_KEEPALIVE: return 16;
        case ASK_LIVETRANSFER: return 20;
        case ASK_SEARCHTRANSFER: return protVersion < 8 ? 28 : 36;
        case ASK_LOGDATE: return 20;
        case ASK_LOGINFO: return 20;
        case ASK_PTZCONTROL: return 20;
        case ASK_BACKUP: return 32;
        case ASK_ALARMOUT: return 20;
        case ASK_AUDIOTRANSFER: return 20;
        case ASK_CHANNELNAME: return 16;
        default: return 0;
    }
}

void putField(uint8_t* dst, const char* text, size_t width) {
    std::memcpy(dst, text, strnlen(text, width));
}

}  // namespace

int StreamObject::sendComposed(int slot, int length) {
    return tcpSend(m_socks[slot], reinterpret_cast<const uint8_t*>(m_send_buffer[slot]), length);
}

// Request line and headers of OPTIONS/DESCRIBE/SETUP/PLAY/GET_PARAMETER; the block is added by
// GET_PARAMETER itself. Returns the text length or -1.
int StreamObject::composeRequest(int slot, int method, int code) {
    RequestText req(m_send_buffer[slot]);
    uint32_t cseq = ++m_rtsp_seq[slot];
    const char* addr = m_dvr_addr;
    int port = m_dvr_port;
    const char* word = sessionKindWord(m_islive[slot]);
    std::string session = sessionOfSlot0();

    switch (method) {
        case CMD_OPTIONS:
            req.line("OPTIONS rtsp://%s RTSP/1.0", addr);
            req.line("CSeq: %d", int(cseq));
            req.line("User-Agent: %s", kUserAgent);
            break;
        case CMD_DESCRIBE:
            if (m_bLogin[slot] == 1) {
                req.line("DESCRIBE rtsp://%s/%s/Channel=%d RTSP/1.0", addr, word,
                         m_device[slot] ? m_ch[slot] : 0);
            } else {
                req.line("DESCRIBE rtsp://%s:%d RTSP/1.0", addr, port);
            }
            req.line("CSeq: %d", int(cseq));
            req.line("Accept: application/sdp");
            req.line("User-Agent: %s", kUserAgent);
            break;
        case CMD_SETUP: {
            const char* control = m_sdp[slot].control[m_sdp[slot].cur_field];
            req.line("SETUP rtsp://%s:%d/%s RTSP/1.0", addr, port, control);
            req.line("CSeq: %d", int(cseq));
            req.line(std::strstr(control, "video") ? "Transport: RTP/AVP/TCP;unicast;interleaved=0-1"
                                                   : "Transport: RTP/AVP/TCP;unicast;interleaved=2-3");
            req.line("User-Agent: %s", kUserAgent);
            break;
        }
        case CMD_PLAY:
        case CMD_GET_PARAMETER: {
            const char* verb = method == CMD_PLAY ? "PLAY" : "GET_PARAMETER";
            if (m_bLogin[slot] == 0) {
                req.line("%s rtsp://%s:%d RTSP/1.0", verb, addr, port);
            } else if (m_device[slot] != 0) {
                req.line("%s rtsp://%s/%s/Channel=%d RTSP/1.0", verb, addr, word, m_ch[slot]);
            } else {
                req.line("%s rtsp://%s RTSP/1.0", verb, addr);
            }
            req.line("CSeq: %u", cseq);
            if (method == CMD_PLAY) {
                req.line("Session: %s", session.c_str());
                req.line(m_islive[slot] == KIND_LIVE
                             ? "Range: npt=0.000-"
                             : "Range: clock=20000105T001500Z-20000123T181343Z");
                req.line("User-Agent: %s", kUserAgent);
            } else if (code == 0) {
                req.line("Session: %s", session.c_str());
                req.line("User-Agent: %s", kUserAgent);
            } else {
                req.line("Content-Type: text/parameters");
                req.line("Session: %s", session.c_str());
                req.line("Content-Length: %d", commandBlockLength(code, m_protVersion));
            }
            break;
        }
    }
    req.end();
    int length = req.length();
    if (length < 0) zlog("[ ch:%d ] request does not fit the send buffer", m_ch[slot]);
    return length;
}

int StreamObject::OPTION(int slot) {
    std::lock_guard<std::mutex> lock(m_sendLock[slot]);
    int length = composeRequest(slot, CMD_OPTIONS, 0);
    m_last_command[slot] = CMD_OPTIONS;
    if (length < 0 || sendComposed(slot, length) != 0) {
        m_last_command[slot] = CMD_NONE;
        return -1;
    }
    return 0;
}

int StreamObject::DESCRIBE(int slot) {
    std::lock_guard<std::mutex> lock(m_sendLock[slot]);
    int length = composeRequest(slot, CMD_DESCRIBE, 0);
    m_last_command[slot] = CMD_DESCRIBE;
    if (length < 0 || sendComposed(slot, length) != 0) {
        zlog("[ ch:%d ] DESCRIBE error \n", slot);
        m_last_command[slot] = CMD_NONE;
        return -1;
    }
    return 0;
}

int StreamObject::SETUP(int slot) {
    std::lock_guard<std::mutex> lock(m_sendLock[slot]);
    SESSION_DESCRIPTION_PROTOCOL& sdp = m_sdp[slot];
    int length = -1;
    if (sdp.cur_field >= 0 && sdp.cur_field < kMaxControls) {
        length = composeRequest(slot, CMD_SETUP, 0);
        ++sdp.cur_field;
    }
    m_last_command[slot] = CMD_SETUP;
    if (length < 0 || sendComposed(slot, length) != 0) {
        zlog("[ ch:%d ] SETUP error \n", m_ch[slot]);
        m_last_command[slot] = CMD_NONE;
        return -1;
    }
    return 0;
}

int StreamObject::PLAY(int slot) {
    std::lock_guard<std::mutex> lock(m_sendLock[slot]);
    int length = composeRequest(slot, CMD_PLAY, 0);
    m_last_command[slot] = CMD_PLAY;
    if (length < 0 || sendComposed(slot, length) != 0) {
        zlog("[ ch:%d ] PLAY error.\n", m_ch[slot]);
        m_last_command[slot] = CMD_NONE;
        return -1;
    }
    return 0;
}

int StreamObject::GET_PARAMETER(int slot, int code) {
    std::lock_guard<std::mutex> lock(m_sendLock[slot]);
    if (code == ASK_LOGIN) m_loginParam[slot] = {};
    int protVersion = m_protVersion;
    int length = composeRequest(slot, CMD_GET_PARAMETER, code);
    int blockLength = code > 0 ? commandBlockLength(code, protVersion) : 0;
    uint8_t* b = nullptr;
    if (length >= 0 && blockLength > 0) {
        // The block follows the empty line inside the same 260-byte buffer.
        if (length + blockLength <= kTextSize) {
            b = reinterpret_cast<uint8_t*>(m_send_buffer[slot] + length);
        } else {
            zlog("[ ch:%d ] request does not fit the send buffer", m_ch[slot]);
            length = -1;
        }
    }
    if (b) {
        std::memset(b, 0, size_t(blockLength));
        std::memcpy(b, "ZAQC", 4);
        wire::wrLE32(b + 4, uint32_t(blockLength));
        b[8] = uint8_t(code);
        b[9] = code == ASK_LOGINFO ? 2 : 1;
        b[10] = uint8_t(protVersion);
        if (protVersion <= 4 && code == ASK_KEEPALIVE) b[10] = 2;
        if (protVersion <= 4 && code == ASK_SEARCHTRANSFER) b[10] = 1;
        wire::wrLE32(b + 12, uint32_t(std::atoi(sessionOfSlot0().c_str())));
        uint8_t* p = b + kBlockHeader;
        switch (code) {
            case ASK_LOGIN:
                putField(p, m_dvr_id, 20);
                putField(p + 20, m_dvr_pwd, 20);
                break;
            case ASK_LIVETRANSFER: p[0] = m_liveParam[slot].video; break;
            case ASK_AUDIOTRANSFER: p[0] = m_liveParam[slot].audio; break;
            case ASK_SEARCHTRANSFER:
                if (protVersion < 8) {
                    const tSEARCH_PARAM& s = m_searchParam[slot];
                    wire::wrLE32(p, uint32_t(s.begin_time));
                    wire::wrLE32(p + 4, uint32_t(s.end_time));
                    p[8] = s.cmd;
                    p[9] = s.reserved1;
                    p[10] = s.avi_backup;
                    p[11] = s.reserved2;
                } else {
                    const tSEARCH_PARAM2& s = m_searchParam2[slot];
                    wire::wrLE32(p, uint32_t(s.begin_time));
                    wire::wrLE32(p + 4, uint32_t(s.end_time));
                    p[8] = s.cmd;
                    p[9] = s.is_seek;
                    p[10] = s.is_iframe_only;
                    p[11] = s.reserved;
                    wire::wrLE32(p + 12, s.channel_mask);
                }
                break;
            case ASK_LOGDATE: wire::wrLE32(p, uint32_t(m_logdateParam[slot].month)); break;
            case ASK_LOGINFO: wire::wrLE32(p, uint32_t(m_loginfoParam[slot].day)); break;
            case ASK_PTZCONTROL:
                p[0] = uint8_t(m_ptzParam[slot].cmd);
                p[1] = uint8_t(m_ptzParam[slot].preset_num);
                zlog("Send Ptz Request : %d", m_ptzParam[slot].cmd);
                break;
            case ASK_BACKUP: {
                const tBACKUP_PARAM& bk = m_backupParam[slot];
                wire::wrLE32(p, uint32_t(bk.begin_time));
                wire::wrLE32(p + 4, uint32_t(bk.end_time));
                wire::wrLE32(p + 8, uint32_t(bk.connection_id));
                p[12] = uint8_t(bk.cmd);
                zlog("ASK_BACKUP ch[%02d] s[%d]e[%d]ci[%d] c[%d]", slot, bk.begin_time,
                     bk.end_time, bk.connection_id, bk.cmd);
                break;
            }
            case ASK_ALARMOUT:
                p[0] = m_alarmParam[slot].channel;
                p[1] = m_alarmParam[slot].onoff;
                break;
            default: break;  // keep-alive and channel name carry no payload
        }
        length += blockLength;
    }

    int32_t previous = m_last_command[slot].exchange(CMD_GET_PARAMETER);
    int rc = length < 0 ? -1 : sendComposed(slot, length);
    if (rc == -2) {
        m_last_command[slot] = previous;
        return -2;
    }
    if (rc != 0) {
        zlog("[ ch:%d ] GET_PARAMETER error \n", m_ch[slot]);
        m_last_command[slot] = CMD_NONE;
        return -1;
    }
    return 0;
}

int StreamObject::sendLiveTransfer(int slot, uint8_t video) {
    {
        std::lock_guard<std::mutex> lock(m_sendLock[slot]);
        m_liveParam[slot].video = video;
    }
    return GET_PARAMETER(slot, ASK_LIVETRANSFER);
}

int StreamObject::sendAudioTransfer(int slot, uint8_t audio) {
    {
        std::lock_guard<std::mutex> lock(m_sendLock[slot]);
        m_liveParam[slot].audio = audio;
    }
    return GET_PARAMETER(slot, ASK_AUDIOTRANSFER);
}

int StreamObject::send_rtcp(int slot) {
    static const uint8_t kFrame[4] = {0x24, 0x01, 0x00, 0x04};
    std::lock_guard<std::mutex> lock(m_sendLock[slot]);
    tcpSend(m_socks[slot], kFrame, 4);
    return 0;
}

}  // namespace zaq
