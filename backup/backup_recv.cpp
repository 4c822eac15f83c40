// The backup receiver: reads every connection of the session in turn, finishes the handshakes
// of the further connections, opens and closes a channel's files on the DVR's backup replies,
// takes the recording time from the sender reports, collects audio, and hands every complete
// video frame to the per-frame handling (backup_payload.cpp).
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "backup/BackupDialog.h"
#include "backup/backup_writer.h"
#include "live/nal_class.h"
#include "protocol/cancel.h"
#include "protocol/log.h"
#include "protocol/wire.h"

namespace zaq {
namespace {

constexpr uint32_t kEndMarker = 0x73746174;  // "stat" in the NTP seconds word: no more data
constexpr int kReadRetries = 5;

}  // namespace

int64_t BackupDialog::frameIntervalMicros(uint32_t previous, uint32_t current) {
    // A step back of the time stamp (a new recording, a restarted clock) stands for no time
    // at all, and a jump for at most kMaxFrameIntervalMs; the difference is taken modulo 2^32,
    // so a clock that wraps still steps forward.
    const int32_t ticks = int32_t(current - previous);
    if (ticks < 0) return 0;
    return std::min<int64_t>(int64_t(ticks) * 100 / 9, int64_t(kMaxFrameIntervalMs) * 1000);
}

// Receiver-private state of every slot.
struct BackupDialog::RecvState {
    explicit RecvState(int n) : slots(size_t(n)) {}
    std::vector<RecvSlot> slots;
    struct Timing {
        bool havePrev = false;    // a written frame of this backup set prevTs
        uint32_t prevTs = 0;      // RTP time stamp of the previous frame
        int64_t intervalUs = 0;   // of the frame being collected
        int64_t totalUs = 0;      // stream time since the slot's first frame
        bool openedHere = false;  // this session created the slot's files
        bool started = false;     // the DVR accepted the slot and no stop reply came yet
    };
    std::array<Timing, kMaxSlots> timing{};
};

void BackupDialog::RTPRecvTProc() {
    {
        std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
        m_audioBuffer.release();
    }
    for (int s = 0; s < kMaxSlots; ++s) {
        m_buffer_mgr[s].clear();
        std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
        m_stBuffer[s].release();
    }
    const int n = std::clamp(int(m_loginParam[0].max_channel), 1, int(kMaxSlots));
    RecvState st(n);
    m_recv = &st;
    sleepMs(2);
    if (!currentThreadCancelled()) {
        // With one channel the only connection logged in on the comm thread: no PLAY reply
        // will come here, so the sender starts now.
        if (m_connect_success >= n) {
            m_connect_success = 0;
            startRTPSendThread();
        }
        recvLoop(st, n);
    }
    for (int s = 0; s < kMaxSlots; ++s)
        BackupCloseOutputFile(m_backupParam[s], s);
    sleepUnlessCancelled(1000);
    {
        std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
        m_audioBuffer.release();
        for (auto& b : m_stBuffer)
            b.release();
    }
    // The time lines stay: the sender may still compose a request that reads them; the next
    // session's reset releases them.
    for (int s = 0; s < kMaxSlots; ++s)
        m_buffer_mgr[s].clear();
    m_frame = {};
    m_recv = nullptr;
    zlog("End RTPRecvTProc");
}

void BackupDialog::recvLoop(RecvState& st, int n) {
    std::vector<pollfd> fds(static_cast<size_t>(n));
    bool roundHadData = false;
    for (int slot = -1; m_last_errno >= 0;) {
        slot = slot + 1 < n ? slot + 1 : 0;
        if (slot == 0) {
            if (!roundHadData) {
                for (int s = 0; s < n; ++s)
                    fds[size_t(s)] = {m_socks[s], POLLIN, 0};
                poll(fds.data(), nfds_t(n), 20);
            }
            roundHadData = false;
        }
        if (currentThreadCancelled()) return;
        if (m_ch[slot] < 0) continue;
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
        if (waiting <= 0) {
            // A closed peer reads as readable with nothing waiting: let recv tell.
            pollfd one{sock, POLLIN, 0};
            if (poll(&one, 1, 0) <= 0 || !(one.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            waiting = 1;
        }
        roundHadData = true;
        RecvSlot& rs = st.slots[size_t(slot)];
        size_t room = std::min(size_t(waiting), rs.makeRoom(size_t(waiting)));
        if (room == 0) {
            zlog("ch : %d, receive buffer full, %u bytes dropped", m_ch[slot], rs.held);
            rs.dropAll();
            continue;
        }
        ssize_t count = -1;
        for (int attempt = 0; attempt <= kReadRetries && count < 0; ++attempt) {
            count = recv(sock, rs.buffer.get() + rs.held, room, 0);
            if (count < 0 && errno == EINTR) continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS))
            continue;
        if (count <= 0) {
            if (m_jobDone || currentThreadCancelled()) return;  // our own shutdown
            zlog("errno != EINPROGRESS && errno!= EWOULDBLOCK [%d]", count < 0 ? errno : 0);
            failSession(-3);
            return;
        }
        rs.held += uint32_t(count);
        if (parseSlot(slot, rs, st, n) == ParseResult::End) return;
    }
}

ParseResult BackupDialog::parseSlot(int slot, RecvSlot& rs, RecvState& st, int n) {
    return parseUnits(
        rs,
        [&](const uint8_t* unit, size_t avail) {
            return handleTextReply(slot, rs, unit, avail, n);
        },
        [&](const uint8_t* unit, size_t avail) {
            return handleInterleaved(slot, rs, st, unit, avail);
        });
}

UnitResult BackupDialog::handleTextReply(int slot, RecvSlot& rs, const uint8_t* unit, size_t avail,
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
            if (avail < headerLen + body) return {UnitAction::Wait, 0};
            parseSdpControls(unit + headerLen, body, m_sdp[slot]);
            if (SETUP(slot) != 0) {
                zlog("SETUP recv error\n");
                return {UnitAction::End, 0};
            }
            return {UnitAction::Consume, headerLen + body};
        case CMD_SETUP:
            if (m_rtp_protocol[slot] != 0) storeSession(slot, header, headerLen);
            if (m_sdp[slot].cur_field < m_sdp[slot].field_count) {
                if (SETUP(slot) != 0) {
                    zlog("SETUP recv error\n");
                    return {UnitAction::End, 0};
                }
            } else if (GET_PARAMETER(slot, ASK_LOGIN) != 0) {
                zlog("Fail - ASK_LOGIN \n");
                return {UnitAction::End, 0};
            }
            return {UnitAction::Consume, headerLen};
        case CMD_GET_PARAMETER:
            if (body == 0) return {UnitAction::Consume, headerLen};
            if (avail < headerLen + body) return {UnitAction::Wait, 0};
            if (!handleReplyBody(slot, unit + headerLen, body)) return {UnitAction::End, 0};
            return {UnitAction::Consume, headerLen + body};
        case CMD_PLAY:
            if (m_connect_success == n) {
                m_connect_success = 0;
                startRTPSendThread();
            }
            return {UnitAction::Consume, headerAndHeldBody(headerLen, body, avail)};
        default:
            // The reply to a request that a later one replaced (both threads send).
            if (body > 0 && avail >= headerLen + body && body >= 4 &&
                std::memcmp(unit + headerLen, "ZAQC", 4) == 0) {
                if (!handleReplyBody(slot, unit + headerLen, body)) return {UnitAction::End, 0};
            }
            return {UnitAction::Consume, headerAndHeldBody(headerLen, body, avail)};
    }
}

bool BackupDialog::handleReplyBody(int slot, const uint8_t* body, size_t length) {
    if (length < 4 || std::memcmp(body, "ZAQC", 4) != 0) return true;
    int result = 0;
    const int code = applyCommandReply(slot, body, length, &result);
    switch (code) {
        case REPLY_LOGIN:
            if (result < 0) {
                zlog("REPLY_LOGIN[%02d] %s", slot, loginLogText(result));
                zlog("end_rtp_recv 1");
                return false;
            }
            if (PLAY(slot) != 0) zlog("PLAY send error: %d\n", slot);
            break;
        case MSG_RTSP_STORLOGINFO:
            GET_PARAMETER(slot, ASK_BACKUP);
            zlog("MSG_RTSP_STORLOGINFO1 m_ch = %d error_code = %d \n", m_ch[slot], result);
            break;
        case REPLY_BACKUP: {
            tBACKUP_PARAM& p = m_backupParam[slot];
            if (backupCmd(slot) == 1) {
                if (BackupOpenOutputFile(p, slot)) {
                    {
                        std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
                        if (m_audioBuffer.buffer) {
                            std::memset(m_audioBuffer.buffer.get(), 0x7F, m_audioBuffer.capacity);
                            m_audioBuffer.begin = m_audioBuffer.end = 0;
                        }
                    }
                    if (m_recv) {
                        m_recv->timing[size_t(slot)] = {};
                        m_recv->timing[size_t(slot)].openedHere = true;
                        m_recv->timing[size_t(slot)].started = true;
                    }
                    m_pendingMicros[slot] = 0;
                    setBackupCmd(slot, 2);
                    BackupStateMassege(BACKUP_STATE_START, slot, 0);
                } else {
                    // No file to write into: the channel is stopped at once.
                    zlog("REPLY_BACKUP[%02d] files cannot be created", slot);
                    BackupStateMassege(BACKUP_STATE_FULL, slot, 0);
                    sendBackupCmd(slot, 0);
                }
            } else if (backupCmd(slot) == 0 && m_recv && m_recv->timing[size_t(slot)].started) {
                // Only a channel that ran reports its stop: the stop requests that close the
                // job go to every slot, and their replies must not bury "BACKUP COMPLATE".
                m_recv->timing[size_t(slot)].started = false;
                if (p.DataFile1.isOpen()) flushAudio(slot, false);
                BackupCloseOutputFile(p, slot);
                BackupStateMassege(BACKUP_STATE_STOP, slot, 0);
            }
            zlog("REPLY_BACKUP m_ch[%02d] packet_size[%u]", m_ch[slot],
                 wire::le32At(body, length, 4));
            break;
        }
        default:
            break;
    }
    return true;
}

void BackupDialog::storeSession(int slot, const char* header, size_t headerLen) {
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

UnitResult BackupDialog::handleInterleaved(int slot, RecvSlot& rs, RecvState& st,
                                           const uint8_t* unit, size_t avail) {
    const int channel = unit[1];
    const size_t length = wire::rdBE16(unit + 2);
    const uint8_t* pkt = unit + kInterleavedPrefix;
    if (channel == 0) return handleVideoPacket(slot, rs, st, unit, avail);
    if (avail < kInterleavedPrefix + length) return {UnitAction::Wait, 0};
    const size_t unitBytes = kInterleavedPrefix + length;
    tBACKUP_PARAM& p = m_backupParam[slot];
    if (channel == 1 && length >= 16) {
        // Sender report: NTP seconds at 8, fraction at 12.
        const uint32_t word = wire::rdBE32(pkt + 8);
        const uint32_t seconds = word - kNtpToUnix;
        if (word == kEndMarker) {
            if (p.backup_FrameCount == 0 && st.timing[size_t(slot)].openedHere) {
                BackupCloseOutputFile(p, slot);
                BackupDeleteFile(p, slot);
                st.timing[size_t(slot)].openedHere = false;
                BackupStateMassege(BACKUP_STATE_NODATA, slot, 0);
            }
            zlog("RTCP1 ch[%d=%d] rtcp[%02x:%02x:%02x:%02x]", slot, int32_t(seconds), pkt[8],
                 pkt[9], pkt[10], pkt[11]);
        }
        p.tv.tv_sec = int64_t(int32_t(seconds));
        p.tv.tv_usec = int32_t(wire::rdBE32(pkt + 12));
    } else if (channel == 2 && length > kRtpHeaderBytes) {
        appendAudio(slot, pkt + kRtpHeaderBytes, length - kRtpHeaderBytes);
    }
    return {UnitAction::Consume, unitBytes};
}

UnitResult BackupDialog::handleVideoPacket(int slot, RecvSlot& rs, RecvState& st,
                                           const uint8_t* unit, size_t avail) {
    const size_t length = wire::rdBE16(unit + 2);
    const uint8_t* pkt = unit + kInterleavedPrefix;
    const size_t unitBytes = kInterleavedPrefix + length;
    if (length <= kRtpHeaderBytes) {
        zlog("ch : %d, rif_length %d \n", m_ch[slot], int(length));
        rs.restartStream();
        return {UnitAction::DropAll, 0};
    }
    if (avail < unitBytes) return {UnitAction::Wait, 0};
    const uint8_t pt = pkt[1] & 0x7F;
    m_payload_type = pt;

    const int32_t seq = wire::rdBE16(pkt + 2);
    if (rs.lastSeq == kNoSequence) rs.lastSeq = seq;
    if (sequenceGap(rs.lastSeq, seq)) {
        zlog("[%s][CH:%d][%s]payload loss : %u\n", m_dvr_addr, m_ch[slot], "Backup", unsigned(seq));
        rs.payloadCount = 0;
        rs.lastSeq = seq;
        m_find_sps[slot] = 0;
        rs.startFound = 0;
        return {UnitAction::Consume, unitBytes};
    }
    rs.lastSeq = seq;

    const uint8_t nal = pkt[kRtpHeaderBytes];
    const int cls = nalClass(pt, nal);
    if (cls == NAL_NONE) {
        zlog("rtp[ 12 ] == [%d] ERROR\n", int(int8_t(nal)));
        rs.restartStream();
        return {UnitAction::DropAll, 0};
    }

    auto& timing = st.timing[size_t(slot)];
    if (rs.payloadCount == 0) {
        if (rs.startFound == 0) {
            bool starts = cls == NAL_AGGREGATION || (cls == NAL_VPS && pt == 98) ||
                          (cls == NAL_SPS && pt == 96);
            if (!starts) return {UnitAction::Consume, unitBytes};
            rs.startFound = 1;
        }
        const uint32_t ts = wire::rdBE32(pkt + 4);
        timing.intervalUs = 0;
        if (timing.havePrev) timing.intervalUs = frameIntervalMicros(timing.prevTs, ts);
        timing.prevTs = ts;
        timing.havePrev = true;
    }

    tPAYLOAD_QUEUE& q = m_buffer_mgr[slot].payload_queue;
    tPAYLOAD_BUFFER& entry = q.payload_buffer[rs.payloadCount];
    entry.size = uint32_t(length);
    if (!entry.payload) entry.payload.reset(new uint8_t[kPayloadAreaBytes]);
    std::memcpy(entry.payload.get(), pkt, std::min(length, kPayloadAreaBytes));
    if (++rs.payloadCount >= kMaxPayloadCount) {
        rs.startFound = rs.payloadCount = 0;
        zlog("MAX_PAYLOAD_COUNT ERROR \n");
        return {UnitAction::Consume, unitBytes};
    }
    if ((pkt[1] & 0x80) && rs.startFound != 0 && !(cls >= NAL_VPS && cls <= NAL_SEI)) {
        frameComplete(slot, rs, st);
    }
    return {UnitAction::Consume, unitBytes};
}

void BackupDialog::frameComplete(int slot, RecvSlot& rs, RecvState& st) {
    tBACKUP_PARAM& p = m_backupParam[slot];
    auto& timing = st.timing[size_t(slot)];
    const int count = rs.payloadCount;
    rs.payloadCount = 0;
    m_buffer_mgr[slot].payload_queue.usable = 0;
    if (!p.DataFile1.isOpen()) {
        // Not running (before the DVR's accept or after the stop): the next written frame
        // starts the time line afresh.
        timing.havePrev = false;
        return;
    }
    if (lengthCheck(slot, 0)) {
        BackupStateMassege(BACKUP_STATE_FULL, slot, 0);
        return;
    }
    timing.totalUs += timing.intervalUs;
    m_pendingMicros[slot] += timing.intervalUs;
    p.Total_Interval = uint32_t(timing.totalUs / 1000);
    rtpPayloadTProc2(slot, m_buffer_mgr[slot].payload_queue.payload_buffer, count);
}

}  // namespace zaq
