// The backup comm thread: prepares the slots and their backup records, connects and logs in on
// slot 0, opens one more connection per further DVR channel, starts the receiver and watches
// until it is cancelled or the session fails; then it closes every socket.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "backup/BackupDialog.h"
#include "protocol/cancel.h"
#include "protocol/log.h"
#include "protocol/net_config.h"

namespace zaq {
namespace {

void failurePause() {
    for (int i = 0; i < 300; ++i) {
        if (currentThreadCancelled()) continue;
        sleepMs(10);
    }
}

}  // namespace

void BackupDialog::shutdownAllSockets() {
    for (int slot = 0; slot < kMaxSlots; ++slot) {
        int sock = m_socks[slot];
        if (sock != -1) shutdown(sock, SHUT_RDWR);
    }
}

void BackupDialog::closeAllSockets() {
    for (int slot = 0; slot < kMaxSlots; ++slot) {
        int sock = m_socks[slot].exchange(-1);
        if (sock == -1) continue;
        struct linger lg {
            1, 0
        };
        setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        shutdown(sock, SHUT_RDWR);
        close(sock);
        zlog("close socket - %d", sock);
    }
}

void BackupDialog::endSessionThreads() {
    // The sender and the receiver still use the sockets: wake them with a shutdown, wait for
    // both (the receiver finishes the open files), and only then give the descriptors back.
    if (auto t = RTPSendThread.get()) t->cancel();
    if (auto t = RTPRecvThread.get()) t->cancel();
    shutdownAllSockets();
    RTPSendThread.stop();
    RTPRecvThread.stop();
    closeAllSockets();
}

bool BackupDialog::connectSlot0() {
    m_device_s_addr = -1;
    m_socks[0] = connectToDvr(m_dvr_addr, m_dvr_port);
    if (m_socks[0] == -1) {
        setErrorString("Connection Failed");
        return false;
    }
    auto step = [&](int sent, const char* sendFail, const char* recvFail) {
        if (sent != 0) {
            if (sendFail) zlog("%s", sendFail);
            return false;
        }
        if (recvRTSP(0) < 0) {
            if (recvFail) zlog("%s", recvFail);
            return false;
        }
        sleepMs(1);
        return true;
    };
    if (!step(OPTION(0), nullptr, nullptr) || !step(DESCRIBE(0), nullptr, nullptr)) {
        setErrorString("Connection Failed");
        return false;
    }
    do {
        if (!step(SETUP(0), "rtsp setup send failed.", "rtsp setup recv failed.")) {
            setErrorString("Connection Failed");
            return false;
        }
    } while (m_sdp[0].cur_field < m_sdp[0].field_count);
    zlog("######## Login = TRUE");
    if (GET_PARAMETER(0, ASK_LOGIN) != 0) {
        zlog("rtsp ask_login send failed.");
        setErrorString("Connection Failed");
        return false;
    }
    // A refused login keeps the refusal word the reader wrote.
    if (recvRTSP(0) < 0) {
        zlog("RTSP Reply-Login Recv Failed\n");
        return false;
    }
    if (!step(PLAY(0), "Rtsp Play Send Failed.", "Rtsp Play Recv Failed.")) {
        setErrorString("Connection Failed");
        return false;
    }
    return true;
}

void BackupDialog::BackupCommProc() {
    copyText(m_dvr_addr, m_ip.c_str());
    copyText(m_dvr_id, m_id.c_str());
    copyText(m_dvr_pwd, m_pw.c_str());
    m_dvr_port = int32_t(m_port);
    zlog("BackupCommProc start [%s][%d][%s][%s]", m_dvr_addr, int(m_dvr_port), m_dvr_id, m_dvr_pwd);
    m_last_errno = 0;
    setErrorString("");

    const uint32_t seed = uint32_t((reinterpret_cast<uintptr_t>(this) >> 16) & 0xFFFF);
    for (int s = 0; s < kMaxSlots; ++s) {
        m_lastFrameTime[s] = 0;
        m_find_sps[s] = 0;
        resetSessionSlot(s, seed, KIND_BACKUP);
        m_buffer_mgr[s].clear();
        m_pendingMicros[s] = 0;
        tBACKUP_PARAM& p = m_backupParam[s];
        p.begin_time = int32_t(begin_time);
        p.end_time = int32_t(end_time);
        p.total_time = p.end_time - p.begin_time;
        p.backup_type = 0;
        p.connection_id = s;
        if (ChannelMaskState(uint64_t(s))) {
            setBackupCmd(s, 1);
            p.tv.tv_sec = -1;
        }
        char name[3 * kTextSize];
        std::snprintf(name, sizeof name, "%s/[CH%02d]%s.avi", m_dvr_BackupFilePath, s + 1,
                      m_dvr_BackupFileName);
        p.BackupFileName1 = name;
        std::snprintf(name, sizeof name, "%s/[CH%02d]%s.smi", m_dvr_BackupFilePath, s + 1,
                      m_dvr_BackupFileName);
        p.BackupFileName2 = name;
    }
    for (int s = 0; s < kMaxSlots; ++s) {
        if (m_backupParam[s].cmd == 1) {
            m_get_StartBackupChannel = s;
            break;
        }
    }
    zlog("iN[%d] begin[%d] end[%d][%s]", int(m_get_StartBackupChannel), int(begin_time),
         int(end_time), m_dvr_BackupFileName);
    {
        std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
        m_audioBuffer.release();
    }
    m_device_s_addr = -1;
    m_connect_success = 0;
    m_jobDone = false;

    auto failEnd = [this] {
        m_isConnected = 1;
        zlog("end_tcp_comm tcpCommThread!\n ");
        closeAllSockets();
    };

    std::string lower(m_dvr_addr, strnlen(m_dvr_addr, 80));
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (!netConfig().ddnsDomain.empty() &&
        lower.find(netConfig().ddnsDomain) != std::string::npos) {
        int rc = req_morva_ddns(0, lower.c_str());
        if (rc == -2 || rc == -1) {
            if (rc == -2)
                zlog("Wrong DDNS, %s", m_dvr_addr);
            else
                zlog("req_morva_ddns failed\n");
            failurePause();
            setErrorString(rc == -2 ? "Wrong DDNS" : "DDNS Request Failed");
            return failEnd();
        }
    }

    if (!connectSlot0()) return failEnd();

    const int n = std::clamp(int(m_loginParam[0].max_channel), 1, int(kMaxSlots));
    for (int slot = 1; slot < n; ++slot) {
        m_socks[slot] = connectToDvr(m_dvr_addr, m_dvr_port);
        if (m_socks[slot] == -1) {
            failurePause();
            zlog("tcpCommTProc INVALID_SOCKET[%d]", m_ch[slot]);
            setErrorString("Connection Failed");
            return failEnd();
        }
        if (OPTION(slot) != 0) {
            zlog("rtsp option failed[%d]", m_ch[slot]);
            setErrorString("Connection Failed");
            return failEnd();
        }
    }

    startRTPRecvThread();
    m_isConnected = 1;

    if (!currentThreadCancelled()) {
        while (m_last_errno >= 0 && sleepUnlessCancelled(500)) {
        }
    }
    endSessionThreads();
    zlog("End BackupCommThread!");
}

}  // namespace zaq
