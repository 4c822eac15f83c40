// The live session: the engine plus the session threads of a live (and playback) controller:
// the comm thread that connects and logs in, the receive loop, and the keep-alive sender.
// Media and window work is reached through the virtual hooks, which the controllers fill in.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "live/MainQueue.h"
#include "live/SessionThread.h"
#include "live/recv_parse.h"
#include "protocol/StreamObject.h"

namespace zaq {

// The packets of one video frame, queued by the receive loop for the payload assembler.
constexpr int kMaxPayloadCount = 500;
constexpr size_t kPayloadAreaBytes = 65536;

struct tPAYLOAD_BUFFER {
    uint32_t size = 0;                   // bytes of the RTP packet, header included
    std::unique_ptr<uint8_t[]> payload;  // 64 KiB copy area, allocated on first use
};

struct tPAYLOAD_QUEUE {
    int32_t time_stamp = 0;  // frame interval in ms when handed over
    int32_t payload_count = 0;
    int32_t usable = 0;
    tPAYLOAD_BUFFER payload_buffer[kMaxPayloadCount];
};

struct tPAYLOAD_MGR {
    int32_t display_pos = 0;
    tPAYLOAD_QUEUE payload_queue;
    void clear() {
        display_pos = 0;
        payload_queue.time_stamp = payload_queue.payload_count = payload_queue.usable = 0;
        for (auto& e : payload_queue.payload_buffer) {
            e.size = 0;
            e.payload.reset();
        }
    }
};

class LiveSession : public StreamObject {
  public:
    explicit LiveSession(MainQueue& queue);
    // Derived controllers stop every thread in their own destructor (stopSessionThreads) so
    // that no thread calls a hook of a half-destroyed object.
    ~LiveSession() override;

    // --- Thread triples (main thread)
    void startTcpCommThread();
    void stopTcpCommThread() { tcpCommThread.stop(); }
    void waitForTcpCommThreadToFinish() { tcpCommThread.wait(); }
    void startTcpRecvThread();
    void stopTcpRecvThread() { tcpRecvThread.stop(); }
    void waitForTcpRecvThreadToFinish() { tcpRecvThread.wait(); }
    void startTcpSendThread();
    void stopTcpSendThread() { tcpSendThread.stop(); }
    void waitForTcpSendThreadToFinish() { tcpSendThread.wait(); }

    // --- Thread bodies
    virtual void tcpCommTProc();
    void tcpRecvTProc();
    void tcpSendTProc();

    // Sends a PTZ command for the slot at once on the caller's thread: 0, -1 or -2.
    int ptzControl(int slot, int cmd, int preset);

    // 1 from the start of a connect until its disconnect is complete. Main thread writes;
    // the comm thread sets it on success and on failure.
    std::atomic<uint8_t> m_isConnected{0};
    // Counts connects (main thread); a notification posted by an earlier session's comm
    // thread is dropped when it arrives after that session was disconnected.
    std::atomic<uint32_t> m_sessionGeneration{0};
    // Channel whose audio is played (main thread writes, receive thread reads).
    std::atomic<int32_t> m_selCh{0};
    std::atomic<uint8_t> m_payload_type{0};
    std::array<std::atomic<uint8_t>, kMaxSlots> m_find_sps;
    tPAYLOAD_MGR m_buffer_mgr[kMaxSlots];  // receive thread only

    // The newest DVR clock of all slots (seconds), 0 when none arrived yet.
    int64_t latestDvrTime() const;

  protected:
    // Machinery started by the comm thread once the session is up, and stopped by the
    // disconnect; the defaults do nothing (sessions without pictures or sound).
    virtual void startDecoderThreads(int count) {}
    virtual void stopDecoderThreads(int count) {}
    virtual void startRenderThread() {}
    virtual void stopRenderThread() {}
    virtual void audioInit() {}
    virtual void audioUninit() {}
    // Main-thread notifications posted by the comm thread.
    virtual void connectComplate() {}
    virtual void connectButtonPressed() {}
    // Whether the render thread runs; the assembler starts it with the first frame otherwise.
    virtual bool isRenderThreadRunning() const { return true; }

  public:
    // The payload assembler: rebuilds the access unit of one frame's RTP packets (each with
    // its 12-byte header) in `out` (768 KiB) and stores it in the slot's stream buffer.
    // Receive thread.
    void rtpPayloadTProc2(int slot, tPAYLOAD_BUFFER* list, int count, uint8_t* out);

  protected:
    // Runs fn on the main thread unless this controller is gone by then. Any thread.
    void postToMain(std::function<void()> fn);
    // Resets every slot and the controller-wide state for a new session of `kind`.
    void resetSession(int kind);
    // Stops the comm, receive and send threads and joins them.
    void stopSessionThreads();
    // 3 seconds in 10 ms steps; a step is skipped once the thread is cancelled.
    void failurePause();
    // The failure end of a connect: text, m_isConnected, connectButtonPressed posted.
    void failureEnd(const char* text);
    // The comm thread's connect of a session of `kind`: reset, name resolution, slot 0's
    // handshake, login and PLAY, the further connections with their OPTIONS. False after
    // failureEnd. Comm thread.
    bool connectSession(int kind);
    // Returns once the session broke (m_last_errno < 0) or the thread was cancelled.
    void watchSession();

    MainQueue& m_queue;
    ThreadRef tcpCommThread{"tcpCommTProc"};
    ThreadRef tcpRecvThread{"tcpRecvTProc"};
    ThreadRef tcpSendThread{"tcpSendTProc"};

    // Receive loop steps (receive thread).
    void recvLoop(std::vector<RecvSlot>& slots, int n);
    ParseResult parseSlot(int slot, RecvSlot& rs, int n);
    UnitResult handleTextReply(int slot, RecvSlot& rs, const uint8_t* unit, size_t avail, int n);
    // False when the reply ends the loop (a refused login).
    virtual bool handleReplyBody(int slot, const uint8_t* body, size_t length);
    UnitResult handleInterleaved(int slot, RecvSlot& rs, const uint8_t* unit, size_t avail);
    UnitResult handleVideoPacket(int slot, RecvSlot& rs, const uint8_t* unit, size_t avail);
    void storeSession(int slot, const char* header, size_t headerLen);
    // Every slot logged in: video on for all, keep-alive sender started.
    virtual void playRule(int n);
    // An RTCP packet of the video stream (length bytes, complete): the live session takes
    // the DVR clock from every one.
    virtual void onVideoRtcp(int slot, const uint8_t* pkt, size_t length);
    // An RTCP packet of the audio stream, before it is skipped.
    virtual void onAudioRtcp(int slot) {}
    // Whether lost or broken video frames are logged (the playback loop keeps quiet).
    virtual bool logsVideoFaults() const { return true; }

  private:
    uint32_t sessionSeed() const;
    std::shared_ptr<std::atomic<bool>> m_alive;
};

}  // namespace zaq
