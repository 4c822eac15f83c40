// The live receive loop: reads every connection of the session in turn, splits each byte
// stream into interleaved units (RTP/RTCP framed by '$', RTSP text replies), finishes the
// further connections' handshakes, queues video packets per frame for the payload assembler,
// passes the selected channel's audio on and takes the DVR clock from the sender reports.
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "live/LiveSession.h"
#include "live/nal_class.h"
#include "live/recv_parse.h"
#include "live/rtp_payload.h"
#include "protocol/cancel.h"
#include "protocol/log.h"
#include "protocol/wire.h"

namespace zaq {
namespace {

constexpr size_t kReadChunk = 65536;

}  // namespace

void LiveSession::tcpRecvTProc() {
    int n = std::clamp(int(m_loginParam[0].max_channel), 1, int(kMaxSlots));
    std::vector<RecvSlot> slots(static_cast<size_t>(n));
    sleepMs(1);
    if (!currentThreadCancelled()) {
        // A DVR serving one channel has no further connection whose reply would switch the
        // video on; every connection is already logged in, so do it now.
        if (m_connect_success >= n) playRule(n);
        recvLoop(slots, n);
    }
    stopRenderThread();
    zlog("End tcpRecvThread!");
}

void LiveSession::playRule(int n) {
    m_connect_success = 0;
    for (int s = 0; s < n; ++s) {
        m_liveParam[s].video = 1;
        GET_PARAMETER(s, ASK_LIVETRANSFER);
    }
    startTcpSendThread();
}

void LiveSession::recvLoop(std::vector<RecvSlot>& slots, int n) {
    std::vector<pollfd> fds(static_cast<size_t>(n));
    bool roundHadData = false;
    for (int slot = -1; m_last_errno >= 0;) {
        slot = slot + 1 < n ? slot + 1 : 0;
        if (slot == 0) {
            // Nothing arrived on any connection during the last round: wait on all of them at
            // once instead of polling each every millisecond.
            if (!roundHadData) {
                for (int s = 0; s < n; ++s) {
                    fds[size_t(s)] = {m_socks[s], POLLIN, 0};
                }
                poll(fds.data(), nfds_t(n), 20);
            }
            roundHadData = false;
        }
        if (m_ch[slot] < 0) {
            if (currentThreadCancelled()) return;
            continue;
        }
        int sock = m_socks[slot];
        if (sock == -1) {
            zlog("Invalid device or wrong channel...");
            return;
        }
        int waiting = 0;
        if (ioctl(sock, FIONREAD, &waiting) < 0) {
            zlog("Invalid device or wrong channel...[0x02]");
            return;
        }
        if (waiting == 0) {
            if (currentThreadCancelled()) return;
            continue;
        }
        roundHadData = true;
        RecvSlot& rs = slots[size_t(slot)];
        size_t room = std::min(kReadChunk, rs.makeRoom(size_t(waiting)));
        if (room == 0) {
            // A unit longer than the receive buffer can never complete: drop what is held.
            zlog("ch : %d, receive buffer full, %u bytes dropped", m_ch[slot], rs.held);
            rs.dropAll();
            continue;
        }
        ssize_t count = recv(sock, rs.buffer.get() + rs.held, room, 0);
        if (count < 0) {
            zlog("recv_size == SOCKET_ERROR");
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS || errno == EINTR) {
                if (currentThreadCancelled()) return;
                continue;
            }
            zlog("errno != EINPROGRESS && errno!= EWOULDBLOCK");
            failSession(-2);
            return;
        }
        if (count == 0) {
            // FIONREAD said bytes were waiting but the peer has closed: the session is lost.
            zlog("recv_size == SOCKET_ERROR");
            zlog("errno != EINPROGRESS && errno!= EWOULDBLOCK");
            failSession(-2);
            return;
        }
        rs.held += uint32_t(count);
        if (parseSlot(slot, rs, n) == ParseResult::End) return;
        if (currentThreadCancelled()) return;
    }
}

ParseResult LiveSession::parseSlot(int slot, RecvSlot& rs, int n) {
    return parseUnits(
        rs,
        [&](const uint8_t* unit, size_t avail) {
            return handleTextReply(slot, rs, unit, avail, n);
        },
        [&](const uint8_t* unit, size_t avail) {
            return handleInterleaved(slot, rs, unit, avail);
        });
}

UnitResult LiveSession::handleTextReply(int slot, RecvSlot& rs, const uint8_t* unit, size_t avail,
                                        int n) {
    const ReplyFrame frame = frameReply(m_ch[slot], unit, avail);
    if (frame.action != UnitAction::End) return {frame.action, frame.headerLen};
    const size_t headerLen = frame.headerLen, body = frame.body;
    const char* header = reinterpret_cast<const char*>(unit);

    switch (m_last_command[slot]) {
        case CMD_OPTIONS:
            applyOptionsReply(slot, header, headerLen);
            if (DESCRIBE(slot) != 0) {
                zlog("Failed tcpSend - DESCRIBE\n");
                return {UnitAction::End, 0};
            }
            return {UnitAction::Consume, headerLen};
        case CMD_DESCRIBE:
            zlog("RTSP_DESCRIBE 1[%d]", slot);
            if (body == 0) {
                sleepMs(0.1);
                return {UnitAction::Wait, 0};
            }
            if (avail < headerLen + body) {
                zlog("DESCRIBE : Not enough packet size!!!\n");
                sleepMs(1);
                return {UnitAction::Wait, 0};
            }
            parseSdpControls(unit + headerLen, body, m_sdp[slot]);
            if (SETUP(slot) != 0) {
                zlog("SETUP recv error\n");
                return {UnitAction::End, 0};
            }
            return {UnitAction::Consume, headerLen + body};
        case CMD_SETUP: {
            if (m_rtp_protocol[slot] != 0) storeSession(slot, header, headerLen);
            if (m_sdp[slot].cur_field < m_sdp[slot].field_count) {
                if (SETUP(slot) != 0) {
                    zlog("SETUP recv error\n");
                    return {UnitAction::End, 0};
                }
            } else if (m_bLogin[slot] == 1) {
                if (GET_PARAMETER(slot, ASK_LOGIN) != 0) {
                    zlog("Fail - ASK_LOGIN \n");
                    return {UnitAction::Wait, 0};
                }
            } else if (PLAY(slot) != 0) {
                zlog("\nPLAY send failed.\n");
                return {UnitAction::End, 0};
            }
            return {UnitAction::Consume, headerLen};
        }
        case CMD_GET_PARAMETER:
            if (body == 0) return {UnitAction::Consume, headerLen};
            if (avail < headerLen + body) {
                zlog("GET_PARAMETER : Not enough packet size!!!\n");
                sleepMs(1);
                return {UnitAction::Wait, 0};
            }
            if (!handleReplyBody(slot, unit + headerLen, body)) return {UnitAction::End, 0};
            return {UnitAction::Consume, headerLen + body};
        case CMD_PLAY:
            if (m_connect_success == n) playRule(n);
            return {UnitAction::Consume, headerAndHeldBody(headerLen, body, avail)};
        default:
            zlog("[ ch:%d ] RTSP_UNKNOWN \n", m_ch[slot]);
            return {UnitAction::Consume, headerAndHeldBody(headerLen, body, avail)};
    }
}

bool LiveSession::handleReplyBody(int slot, const uint8_t* body, size_t length) {
    if (length >= 4 && std::memcmp(body, "ZAQC", 4) == 0) {
        int result = 0;
        int code = int8_t(body[8 < length ? 8 : 0]);
        if (code == REPLY_LOGIN) zlog("[%d] REPLY_LOGIN", slot);
        if (code == REPLY_BACKUP) return true;  // not this loop's reply
        code = applyCommandReply(slot, body, length, &result);
        switch (code) {
            case REPLY_LOGIN:
                if (result < 0) {
                    zlog("Connect failed... error_code:%d", result);
                    zlog("%s", loginLogText(result));
                    return false;
                }
                zlog("[%d] device_type[%d]oem_type[%d]user_rights[%d] ", slot,
                     m_loginParam[slot].device_type, m_loginParam[slot].oem_type,
                     m_loginParam[slot].user_rights);
                if (m_islive[slot] == KIND_LIVE) {
                    m_liveParam[slot].video = 0;
                    GET_PARAMETER(slot, ASK_LIVETRANSFER);
                }
                if (PLAY(slot) != 0) zlog("PLAY send error: %d\n", slot);
                break;
            case REPLY_LIVETRANSFER:
                GET_PARAMETER(slot, ASK_CHANNELNAME);
                zlog("REPLY_LIVETRANSFER m_ch = %d error_code = %d", m_ch[slot], result);
                break;
            default:
                break;
        }
        return true;
    }
    if (length >= 4 && body[0] == 'Z' && body[1] == 'A' && body[2] == 'Q' && body[3] == 'V') {
        zlog("motion : 0x%04x\n", wire::le16At(body, length, 136));
    }
    return true;
}

void LiveSession::storeSession(int slot, const char* header, size_t headerLen) {
    std::string text(header, headerLen);
    size_t at = text.find("Session: ");
    if (at == std::string::npos) return;
    size_t from = at + 9;
    size_t to = text.find_first_of("\r\n", from);
    std::string value = text.substr(from, std::min(to, text.size()) - from);
    std::lock_guard<std::mutex> lock(m_sessionLock);
    std::memset(m_session[slot], 0, kTextSize);
    std::memcpy(m_session[slot], value.data(), std::min(value.size(), size_t(kTextSize - 1)));
}

UnitResult LiveSession::handleInterleaved(int slot, RecvSlot& rs, const uint8_t* unit,
                                          size_t avail) {
    int channel = unit[1];
    size_t length = wire::rdBE16(unit + 2);
    const uint8_t* pkt = unit + 4;
    switch (channel) {
        case 0:
            return handleVideoPacket(slot, rs, unit, avail);
        case 1:
            if (avail < 4 + length) {
                zlog("RTCP : Not enough size of packet !!!");
                return {UnitAction::Wait, 0};
            }
            onVideoRtcp(slot, pkt, length);
            return {UnitAction::Consume, 4 + length};
        case 2:
            if (avail < 4 + length) return {UnitAction::Wait, 0};
            if (length >= 12 && m_islive[slot] != KIND_BACKUP && m_selCh == m_ch[slot]) {
                _STREAM_MGR mgr;
                mgr.type = 1;
                mgr.size = int32_t(length - 12);
                mgr.channel = slot;
                setAudioData(mgr, pkt + 12);
            }
            return {UnitAction::Consume, 4 + length};
        default:
            if (channel == 3) onAudioRtcp(slot);
            if (avail < 4 + length) {
                sleepMs(1);
                return {UnitAction::Wait, 0};
            }
            return {UnitAction::Consume, 4 + length};
    }
}

void LiveSession::onVideoRtcp(int slot, const uint8_t* pkt, size_t length) {
    if (length < 12) return;
    uint32_t ntp = wire::rdBE32(pkt + 8);
    m_searchParam[slot].tv.tv_sec = int64_t(int32_t(ntp - kNtpToUnix));
}

UnitResult LiveSession::handleVideoPacket(int slot, RecvSlot& rs, const uint8_t* unit,
                                          size_t avail) {
    size_t length = wire::rdBE16(unit + 2);
    const uint8_t* pkt = unit + kInterleavedPrefix;
    const size_t unitBytes = kInterleavedPrefix + length;
    // A video packet holds the RTP header and at least the NAL header byte behind it.
    if (length <= kRtpHeaderBytes) {
        zlog("ch : %d, rif_length %d \n", m_ch[slot], int(length));
        rs.restartStream();
        sleepMs(1);
        return {UnitAction::DropAll, 0};
    }
    if (avail < unitBytes) {
        sleepMs(1);
        return {UnitAction::Wait, 0};
    }
    uint8_t pt = pkt[1] & 0x7F;
    m_payload_type = pt;

    int32_t seq = wire::rdBE16(pkt + 2);
    if (rs.lastSeq == kNoSequence) rs.lastSeq = seq;
    if (sequenceGap(rs.lastSeq, seq)) {
        if (logsVideoFaults()) {
            zlog("[%s][CH:%d][%s]payload loss : %u\n", m_dvr_addr, m_ch[slot],
                 sessionKindWord(m_islive[slot]), unsigned(seq));
        }
        rs.payloadCount = 0;
        rs.lastSeq = seq;
        m_find_sps[slot] = 0;
        rs.startFound = 0;
        return {UnitAction::Consume, unitBytes};
    }
    rs.lastSeq = seq;

    const uint8_t nal = pkt[kRtpHeaderBytes];
    int cls = nalClass(pt, nal);
    if (cls == NAL_NONE) {
        zlog("rtp[ 12 ] == [%d] ERROR\n", int(int8_t(nal)));
        rs.restartStream();
        return {UnitAction::DropAll, 0};
    }

    if (rs.payloadCount == 0) {
        if (rs.startFound == 0) {
            bool starts = cls == NAL_AGGREGATION || (cls == NAL_VPS && pt == 98) ||
                          (cls == NAL_SPS && pt == 96);
            if (!starts) {
                zlog("ch %d, SPS found ERROR rtp[ 12 ] == %d\n", m_ch[slot], int(nal));
                return {UnitAction::Consume, unitBytes};
            }
            rs.startFound = 1;
        }
        uint32_t ts = wire::rdBE32(pkt + 4);
        if (rs.prevTs == 0 && rs.startTime == 0) {
            rs.prevTs = ts;
            rs.startTime = int32_t(time(nullptr));
        }
        rs.frameInterval = int32_t(ts - rs.prevTs) / 90;
        // Pacing at each frame start. A live session only yields: a 1 ms sleep per frame
        // costs half a second per second at 16 channels x 30 fps and the loop falls behind.
        if (m_islive[slot] == KIND_LIVE)
            std::this_thread::yield();
        else
            sleepMs(3);
        rs.prevTs = ts;
    }

    tPAYLOAD_QUEUE& q = m_buffer_mgr[slot].payload_queue;
    tPAYLOAD_BUFFER& entry = q.payload_buffer[rs.payloadCount];
    entry.size = uint32_t(length);
    if (!entry.payload) entry.payload.reset(new uint8_t[kPayloadAreaBytes]);
    std::memcpy(entry.payload.get(), pkt, length);
    if (++rs.payloadCount >= kMaxPayloadCount) {
        rs.startFound = rs.payloadCount = 0;
        if (logsVideoFaults()) zlog("MAX_PAYLOAD_COUNT ERROR \n");
        return {UnitAction::Consume, unitBytes};
    }

    if (pkt[1] & 0x80) {
        if (rs.startFound == 0) {
            if (logsVideoFaults())
                zlog("ch %d, found the Marker, but SPS not found \n", m_ch[slot]);
        } else if (cls >= NAL_VPS && cls <= NAL_SEI) {
            // Parameter sets at a marker travel with the next frame.
        } else {
            q.time_stamp = rs.frameInterval;
            q.payload_count = rs.payloadCount;
            rtpPayloadTProc2(slot, q.payload_buffer, rs.payloadCount, rs.assembly.get());
            q.usable = 0;
            rs.payloadCount = 0;
        }
    }
    return {UnitAction::Consume, unitBytes};
}

}  // namespace zaq
