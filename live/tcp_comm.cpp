// The live comm thread: resets the session, resolves a DDNS name, runs the first connection's
// handshake and login, opens the other connections, starts the machinery and watches.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "live/LiveSession.h"
#include "protocol/cancel.h"
#include "protocol/log.h"
#include "protocol/net_config.h"

namespace zaq {
namespace {

std::string lowerPrefix(const char* text, size_t n) {
    std::string s(text, strnlen(text, n));
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace

void LiveSession::tcpCommTProc() {
    zlog("%s start", "-[Main_Dialog tcpCommTProc:]");
    if (!connectSession(KIND_LIVE)) return;

    startDecoderThreads(kMaxSlots);
    startRenderThread();
    startTcpRecvThread();
    audioInit();
    zlog("tcpCommProc startAudioThread, Audio init");
    m_isConnected = 1;
    uint32_t generation = m_sessionGeneration;
    postToMain([this, generation] {
        if (generation == m_sessionGeneration && m_isConnected) connectComplate();
    });

    watchSession();
    // A session that broke under the user (not one the user ended) is taken down the way a
    // failed connect is, so the window never shows "connected" over a dead session.
    if (!currentThreadCancelled() && m_last_errno < 0) {
        zlog("End tcpCommThread! (session lost: %d)", int(m_last_errno));
        return failureEnd("Connection Failed");
    }
    zlog("End tcpCommThread!");
}

void LiveSession::watchSession() {
    if (currentThreadCancelled()) return;
    for (;;) {
        if (m_last_errno < 0) break;
        sleepUnlessCancelled(500);
        if (currentThreadCancelled()) break;
    }
}

bool LiveSession::connectSession(int kind) {
    const bool live = kind == KIND_LIVE;
    m_last_errno = 0;
    setErrorString("");
    resetSession(kind);
    auto fail = [this](const char* text) {
        failureEnd(text);
        return false;
    };

    std::string lower = lowerPrefix(m_dvr_addr, 80);
    if (!netConfig().ddnsDomain.empty() &&
        lower.find(netConfig().ddnsDomain) != std::string::npos) {
        int rc = req_morva_ddns(0, lower.c_str());
        if (rc == -2) {
            zlog("Wrong DDNS, %s", m_dvr_addr);
            failurePause();
            return fail("Wrong DDNS");
        }
        if (rc == -1) {
            zlog("req_morva_ddns failed\n");
            failurePause();
            return fail("DDNS Request Failed");
        }
    }

    m_socks[0] = connectToDvr(m_dvr_addr, m_dvr_port);
    if (m_socks[0] == -1) return fail("Connection Failed");

    // Slot 0's handshake, one request and its reply at a time.
    auto step = [&](int sent, const char* sendFail, bool readReply, const char* recvFail) {
        if (sent != 0) {
            zlog("%s", sendFail);
            return false;
        }
        if (readReply && recvRTSP(0) < 0) {
            zlog("%s", recvFail);
            return false;
        }
        sleepMs(1);
        return true;
    };
    if (!step(OPTION(0), "rtsp option send failed.", true, "rtsp option recv failed.") ||
        !step(DESCRIBE(0), "rtsp describe send failed.", true, "rtsp describe recv failed.")) {
        return fail("Connection Failed");
    }
    do {
        if (!step(SETUP(0), "rtsp setup send failed.", true, "rtsp setup recv failed.")) {
            return fail("Connection Failed");
        }
    } while (m_sdp[0].cur_field < m_sdp[0].field_count);

    if (m_bLogin[0] == 1) {
        zlog("######## Login = TRUE");
        if (GET_PARAMETER(0, ASK_LOGIN) != 0) {
            zlog("rtsp ask_login send failed.");
            return fail("Connection Failed");
        }
        // A refused login keeps its own text: these reads end without "Connection Failed".
        const char* loginRecvFail =
            live ? "rtsp reply_login recv failed." : "RTSP Reply-Login Recv Failed\n";
        if (recvRTSP(0) < 0) {
            zlog("%s", loginRecvFail);
            return fail(nullptr);
        }
        // A playback session asks for no live pictures.
        if (live) {
            sendLiveTransfer(0, 0);
            if (recvRTSP(0) < 0) {
                zlog("%s", loginRecvFail);
                return fail(nullptr);
            }
        }
        sleepMs(1);
        if (!step(PLAY(0), live ? "rtsp play send failed." : "Rtsp Play Send Failed.", true,
                  live ? "rtsp play recv failed." : "Rtsp Play Recv Failed.")) {
            return fail("Connection Failed");
        }
    } else {
        zlog("######## Login = FALSE");
        if (!step(PLAY(0), "rtsp play send failed.", true, "rtsp recv failed.")) {
            return fail("Connection Failed");
        }
    }

    // One more connection per further channel; the receive loop finishes their handshakes.
    int n = m_loginParam[0].max_channel;
    for (int slot = 1; slot < std::min(n, int(kMaxSlots)); ++slot) {
        m_socks[slot] = connectToDvr(m_dvr_addr, m_dvr_port);
        if (m_socks[slot] == -1) {
            for (int i = 0; i < 300; ++i) {
                if (currentThreadCancelled() && m_last_errno >= 0) continue;
                sleepMs(10);
            }
            zlog("tcpCommTProc INVALID_SOCKET[%d]", m_ch[slot]);
            return fail("Connection Failed");
        }
        if (OPTION(slot) != 0) {
            zlog("rtsp option failed[%d]", m_ch[slot]);
            return fail("Connection Failed");
        }
    }

    return true;
}

}  // namespace zaq
