#include "live/LiveSession.h"

#include <cstring>

#include "protocol/cancel.h"
#include "protocol/log.h"

namespace zaq {

LiveSession::LiveSession(MainQueue& queue)
    : m_queue(queue), m_alive(std::make_shared<std::atomic<bool>>(true)) {
    for (int i = 0; i < kMaxSlots; ++i) {
        m_find_sps[i] = 0;
    }
}

LiveSession::~LiveSession() {
    *m_alive = false;
    stopSessionThreads();
}

void LiveSession::postToMain(std::function<void()> fn) {
    m_queue.post([alive = m_alive, fn = std::move(fn)] {
        if (*alive) fn();
    });
}

uint32_t LiveSession::sessionSeed() const {
    // Bits 16 to 31 of the controller's address: differs between controllers, fixed for one.
    return uint32_t((reinterpret_cast<uintptr_t>(this) >> 16) & 0xFFFF);
}

void LiveSession::resetSession(int kind) {
    uint32_t seed = sessionSeed();
    for (int slot = 0; slot < kMaxSlots; ++slot) {
        m_lastFrameTime[slot] = 0;
        m_find_sps[slot] = 0;
        resetSessionSlot(slot, seed, kind);
        m_buffer_mgr[slot].clear();
    }
    std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
    m_audioBuffer.release();
    m_device_s_addr = -1;
    m_connect_success = 0;
}

void LiveSession::stopSessionThreads() {
    tcpCommThread.stop();
    tcpRecvThread.stop();
    tcpSendThread.stop();
}

void LiveSession::startTcpCommThread() {
    tcpCommThread.start([this] { tcpCommTProc(); });
}

void LiveSession::startTcpRecvThread() {
    tcpRecvThread.start([this] { tcpRecvTProc(); });
}

void LiveSession::startTcpSendThread() {
    tcpSendThread.start([this] { tcpSendTProc(); });
}

int64_t LiveSession::latestDvrTime() const {
    int64_t latest = 0;
    for (const auto& p : m_searchParam) latest = std::max(latest, p.tv.tv_sec.load());
    return latest;
}

void LiveSession::failurePause() {
    for (int i = 0; i < 300; ++i) {
        if (currentThreadCancelled()) continue;
        sleepMs(10);
    }
}

void LiveSession::failureEnd(const char* text) {
    if (text) setErrorString(text);
    m_isConnected = 1;
    uint32_t generation = m_sessionGeneration;
    postToMain([this, generation] {
        if (generation == m_sessionGeneration && m_isConnected) connectButtonPressed();
    });
    zlog("end_tcp_comm tcpCommThread!\n ");
}

int LiveSession::ptzControl(int slot, int cmd, int preset) {
    if (slot < 0 || slot >= kMaxSlots) return -1;
    {
        std::lock_guard<std::mutex> lock(m_sendLock[slot]);
        m_ptzParam[slot].cmd = int8_t(cmd);
        m_ptzParam[slot].preset_num = int8_t(preset);
    }
    zlog("PTZ Command: %d", cmd);
    return GET_PARAMETER(slot, ASK_PTZCONTROL);
}

}  // namespace zaq
