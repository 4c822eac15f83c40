// The playback receive loop: the live loop (live/tcp_recv.cpp) with the steps where a
// playback session differs: audio instead of live pictures once every channel plays, a pause
// posted once, the calendar's replies, the playback time from the sender reports and the
// audio channel that follows the selection.
#include <algorithm>
#include <cstring>
#include <vector>

#include "playback/SearchDialog.h"
#include "playback/play_codes.h"
#include "protocol/cancel.h"
#include "protocol/log.h"
#include "protocol/wire.h"

namespace zaq {
namespace {

constexpr uint8_t kSenderReport = 200;
constexpr size_t kSenderReportNtpAt = 8;  // NTP seconds, big-endian
constexpr size_t kBlockCodeAt = 8, kBlockResultAt = 16;

}  // namespace

void SearchDialog::searchRecvProc() {
    int n = std::clamp(int(m_loginParam[0].max_channel), 1, int(kMaxSlots));
    std::vector<RecvSlot> conns(static_cast<size_t>(n));
    sleepMs(1);
    if (!currentThreadCancelled()) {
        // With one channel, slot 0's PLAY reply (read by the comm thread) was the last one.
        if (m_connect_success >= n) playRule(n);
        recvLoop(conns, n);
    }
    stopRenderThread();
    zlog("End searchRecvThread!\n");
}

void SearchDialog::playRule(int n) {
    m_connect_success = 0;
    for (int slot = 0; slot < n; ++slot)
        sendAudioTransfer(slot, 1);
    m_AudioSelectChannel = int32_t(m_selCh);
    m_audioStage = true;
    uint32_t generation = m_sessionGeneration;
    // The session starts paused.
    postToMain([this, generation] {
        if (generation == m_sessionGeneration && m_isConnected) searchTransfer(PLAY_PAUSE, 0);
    });
    startTcpSendThread();
}

bool SearchDialog::handleReplyBody(int slot, const uint8_t* body, size_t length) {
    bool block = length > kBlockResultAt && std::memcmp(body, "ZAQC", 4) == 0;
    int code = block ? body[kBlockCodeAt] : -1;
    int result = block ? int8_t(body[kBlockResultAt]) : 0;
    if (code == REPLY_LOGIN && result >= 0) GET_PARAMETER(slot, ASK_CHANNELNAME);
    bool go = LiveSession::handleReplyBody(slot, body, length);
    switch (code) {
        case REPLY_LOGIN:
            if (result == -9) {
                zlog("Device not ready...");
                setErrorString("Device not ready...");
            }
            break;
        case MSG_RTSP_STORLOGDATE:
            zlog("onLogDate m_ch = %d error_code = %d \n", m_ch[slot], result);
            // Log-date requests always go out on slot 0.
            m_calenda.onLogDate(m_logdateParam[0].day_mask);
            break;
        case MSG_RTSP_STORLOGINFO:
            zlog("REPLY_LOGINFO m_ch = %d error_code = %d \n", m_ch[slot], result);
            m_calenda.onTimeLine(m_loginfoParam[slot].dls_begin, m_loginfoParam[slot].dls_end);
            break;
        default:
            break;
    }
    return go;
}

void SearchDialog::onVideoRtcp(int slot, const uint8_t* pkt, size_t length) {
    //  0       1       2       4        8             12
    //  +-------+-------+-------+--------+-------------+-----
    //  | V P RC| PT=200| length| SSRC   | NTP seconds | NTP fraction ...
    if (length < kSenderReportNtpAt + 4 || pkt[1] != kSenderReport) return;
    int32_t t = ntpToDvrTime(wire::rdBE32(pkt + kSenderReportNtpAt));
    t = senderReportTime(t, m_loginfoParam[0].dls_begin, m_loginfoParam[0].dls_end);
    int code = m_currPlaySpeed;
    if (code == PLAY_STOPPED || code == PLAY_PAUSE) return;
    m_searchParam[slot].tv.tv_sec = int64_t(t);
}

void SearchDialog::onAudioRtcp(int) {
    followAudioSelection();
}

void SearchDialog::followAudioSelection() {
    if (!m_audioStage) return;
    int32_t sel = m_selCh;
    if (m_AudioSelectChannel.exchange(sel) == sel) return;
    if (sel < 0 || sel >= kMaxSlots || m_socks[sel] == -1) return;
    sendAudioTransfer(sel, 1);
    zlog("SreachAudio change [%d]", sel);
}

}  // namespace zaq
