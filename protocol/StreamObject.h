// The protocol engine: one session object with 16 channel slots. Opens the connections,
// composes every request, reads replies, holds the per-slot stream buffers and resolves names.
// The live, playback and backup controllers derive from it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/records.h"
#include "protocol/stream_buffer.h"

namespace zaq {

// Opens a non-blocking IPv4 TCP socket with the DVR socket options (no delay, the given send
// buffer, 64 KiB receive buffer) and connects it, waiting at most waitMs for the connection;
// the wait ends early when the calling session thread is cancelled. Socket or -1.
int openTcpSocket(uint32_t addrNetOrder, int port, int sendBuffer, int waitMs,
                  bool* connectedAtOnce, bool* cancelled);

class StreamObject {
  public:
    StreamObject();
    virtual ~StreamObject();
    StreamObject(const StreamObject&) = delete;
    StreamObject& operator=(const StreamObject&) = delete;

    // --- Connections and sending (any thread)

    // Connected non-blocking socket to address:port, or -1. Resolves names once per session
    // (m_device_s_addr caches the result).
    int connectToDvr(const char* address, int port);
    // 0 when all bytes went out, -1 after a select error or 9 s unwritable, -2 on socket -1,
    // a session already failed or a hard send error (which sets m_last_errno to -2).
    int tcpSend(int sock, const uint8_t* data, int length);

    // --- Requests: compose in the slot's buffer and send on m_socks[slot] (any thread;
    // serialised per slot). 0 on success, -1 on failure; GET_PARAMETER may return -2.
    int OPTION(int slot);
    int DESCRIBE(int slot);
    int SETUP(int slot);
    int PLAY(int slot);
    int GET_PARAMETER(int slot, int code);
    int send_rtcp(int slot);  // the 4-byte interleaved keep-alive; always 0
    // Sets the slot's live video (or audio) flag and sends ASK_LIVETRANSFER (ASK_AUDIOTRANSFER);
    // the flag is written under the slot's send lock, as the composer reads it there.
    int sendLiveTransfer(int slot, uint8_t video);
    int sendAudioTransfer(int slot, uint8_t audio);
    bool isSearchTransfer2() const { return m_protVersion.load() > 7; }

    // --- Replies (session comm thread)

    // Reads one reply on the slot and applies it by m_last_command: 0 taken, -1 no socket or
    // login refused, -3 connection failed or reply unusable.
    int recvRTSP(int slot);
    // Version named by "User-Agent: ZAQC-" or "User-Agent: ZORMAX-" in text; 1 when none.
    int getProtVersion(const char* text, int slot);
    // An OPTIONS reply header of `length` bytes: when it names GET_PARAMETER, the slot takes
    // keep-alive requests and the protocol version is read from it.
    void applyOptionsReply(int slot, const char* header, size_t length);

    // Applies the command block of a GET_PARAMETER reply body (shared by every reader).
    // Returns the reply code (body byte 8) and stores the result byte (body byte 16) in
    // *result. A refused login writes the refusal word into m_errorString.
    int applyCommandReply(int slot, const uint8_t* body, size_t length, int* result);
    // The word shown for a refused login result.
    static const char* loginRefusalText(int result);

    // --- Stream buffers (any thread; under m_bufferLock)

    void setVideoData(const _STREAM_MGR& mgr, const uint8_t* payload);
    // 0 with one access unit in mgr/dst (dst grows as needed), -1 when none or when the one
    // taken was dropped waiting for a key frame.
    int getVideoData(_STREAM_MGR& mgr, std::vector<uint8_t>& dst);
    // Start-code family (2 Annex B, 0 MPEG-4 visual, -1 unknown); *key set for key frames.
    static int getCodecType(const uint8_t* data, size_t length, int codec, int* key);
    void setAudioData(const _STREAM_MGR& mgr, const uint8_t* payload);
    // Called under m_bufferLock with each live/playback audio packet; must not block.
    virtual void playAudioData(const uint8_t* data, int length) {}
    // Releases every buffer's storage (session start, playback disconnect).
    void releaseStreamBuffers();

    // --- Name resolution (session comm thread)

    // 0 with the DVR's host in m_dvr_addr, -2 when the service does not know the name, -1
    // on any other failure.
    int req_morva_ddns(int slot, const char* name);

    // --- Shared session state readers (any thread)

    std::string errorString() const;
    void setErrorString(const char* text);
    std::string channelName(int slot) const;
    void setChannelName(int slot, const uint8_t* text, size_t length);
    // Sets m_last_errno to value unless it is already negative; only the first failure counts.
    void failSession(int value);

    // --- Fields (names as the system's vocabulary has them)

    std::array<std::atomic<int32_t>, kMaxSlots> m_socks;
    char m_send_buffer[kMaxSlots][kTextSize];      // --- Protected by m_sendLock[slot]
    std::array<uint32_t, kMaxSlots> m_rtsp_seq{};  // --- Protected by m_sendLock[slot]
    std::array<std::atomic<int32_t>, kMaxSlots> m_last_command;
    std::array<int32_t, kMaxSlots> m_ch{};
    std::array<int32_t, kMaxSlots> m_islive{};
    std::array<uint8_t, kMaxSlots> m_bLogin{};
    std::array<int32_t, kMaxSlots> m_device{};
    std::array<uint8_t, kMaxSlots> m_rtp_protocol{};
    char m_session[kMaxSlots][kTextSize];  // slot 0's is read by every composer: m_sessionLock
    SESSION_DESCRIPTION_PROTOCOL m_sdp[kMaxSlots];
    std::atomic<int32_t> m_protVersion{-1};
    std::array<std::atomic<uint8_t>, kMaxSlots> m_get_parameter;

    char m_dvr_addr[kTextSize];
    std::atomic<int32_t> m_dvr_port{5445};
    char m_dvr_id[kTextSize];
    char m_dvr_pwd[kTextSize];
    std::atomic<int32_t> m_device_s_addr{-1};
    std::atomic<int32_t> m_last_errno{0};
    std::atomic<int32_t> m_connect_success{0};
    std::atomic<uint16_t> m_websslport{0};

    // Request records, filled by the callers before GET_PARAMETER.
    tLIVE_PARAM m_liveParam[kMaxSlots];
    tSEARCH_PARAM m_searchParam[kMaxSlots];
    tSEARCH_PARAM2 m_searchParam2[kMaxSlots];
    tLOGDATE_PARAM m_logdateParam[kMaxSlots];
    tLOGINFO_PARAM m_loginfoParam[kMaxSlots];
    tPTZ_PARAM m_ptzParam[kMaxSlots];
    tBACKUP_PARAM m_backupParam[kMaxSlots];
    tALARM_PARAM m_alarmParam[kMaxSlots];
    // Reply records.
    tLOGIN_PARAM m_loginParam[kMaxSlots];
    tKEEP_ALIVE m_keepalive[kMaxSlots];

    // Stream buffers and the key-frame rule.
    std::recursive_mutex m_bufferLock;
    _STREAM_BUFFER m_stBuffer[kMaxSlots];        // --- Protected by m_bufferLock
    _STREAM_BUFFER m_audioBuffer;                // --- Protected by m_bufferLock
    std::array<uint8_t, kMaxSlots> m_bIFrame{};  // --- Protected by m_bufferLock
    // Wall-clock second of each slot's last decoded picture; 0 = none yet (decoder workers
    // write, the renderer reads).
    std::array<std::atomic<int64_t>, kMaxSlots> m_lastFrameTime;
    // Access units stored per slot since the session started (diagnostics).
    std::array<std::atomic<uint64_t>, kMaxSlots> m_framesStored;

  protected:
    // Resets the per-slot request/reply state of a new session (the drivers call it first).
    void resetSessionSlot(int slot, uint32_t seed, int kind);

    std::mutex m_sendLock[kMaxSlots];
    mutable std::mutex m_sessionLock;  // guards m_session texts
    mutable std::mutex m_textLock;     // guards m_errorString and m_channelName
    char m_errorString[kErrorSize];
    char m_channelName[kMaxSlots][kTextSize];

  private:
    // Composes into m_send_buffer[slot]: returns the byte count or -1 when it would not fit.
    int composeRequest(int slot, int method, int code);
    int sendComposed(int slot, int length);
    std::string sessionOfSlot0() const;
    int recvBody(int slot, std::vector<char>& buf, size_t& held);
    void applyReply(int slot, const char* text, size_t held);
};

}  // namespace zaq
