// The backup window's controller and its session: copies the recordings of the chosen channels
// over a time range into one AVI and one SAMI file per channel, one channel after another.
// The dialog is the session object (it derives from the protocol engine); its threads are the
// comm thread (backup_comm.cpp), the sender (backup_send.cpp) and the receiver with the
// per-frame handling (backup_recv.cpp, backup_payload.cpp). The window sees it through outlets.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backup/BackupOutlets.h"
#include "live/LiveSession.h"  // tPAYLOAD_BUFFER, the per-frame packet queue
#include "live/MainQueue.h"
#include "live/SessionThread.h"
#include "live/recv_parse.h"
#include "protocol/StreamObject.h"

namespace zaq {

// The hand-over from the playback window: "IP", "PORT", "ID", "PASS" as texts, "StartDate" and
// "EndDate" as seconds since 1970 in decimal.
using LoginInfoMap = std::map<std::string, std::string>;

// State messages of BackupStateMassege.
enum BackupState : int64_t {
    BACKUP_STATE_START = 0,
    BACKUP_STATE_WORK = 1,
    BACKUP_STATE_STOP = 2,
    BACKUP_STATE_NODATA = 3,
    BACKUP_STATE_FULL = 4,
    BACKUP_STATE_COMPLATE = 5,
};

class BackupDialog : public StreamObject {
  public:
    explicit BackupDialog(MainQueue& queue);
    // Stops and joins every session thread; the receiver finishes the open files on its way out.
    ~BackupDialog() override;

    // --- Window side (main thread)

    // Connects the controls and runs the load steps (mask from the check boxes).
    void setOutlets(const BackupOutlets& outlets);
    void LoginInfo(const LoginInfoMap& info);
    void BackupDirectoryDefaultSet();
    // True when the folder exists or was made with its parents.
    static bool DirectoryCreate(const std::string& path);
    void BackupDirectoriOpenPanelButtonPressed() { BackupDirectoryGet(); }
    void BackupDirectoryGet();
    // The check box with this tag was clicked; -1 sets every channel box to the all box's state.
    void ChannelSelectCheckBoxPressed(int tag);
    uint64_t ChannelMaskGet() const;
    bool ChannelMaskState(uint64_t slot) const;
    void BackupSatartButtonPressed();
    // Enables Start and asks the window to close (onCloseRequested).
    void BackupCloseButtonPressed();
    void startBackupCommThread();
    // Asks the comm thread to end; does not wait for the session's end.
    void stopBackupCommThread();
    void connectButtonPressed() { stopBackupCommThread(); }
    void BackupMassegeLabelTextChange(const std::string& text);
    void BackupProgressIndicatorValueChange(const std::string& text);
    // Drops the outlets; the window calls it when it closes.
    void reset();
    // Called by Close; the window closes itself (and then calls connectButtonPressed and reset).
    std::function<void()> onCloseRequested;

    // Posts the status line (and for types 0, 1, 5 the bar) to the main thread. Any thread.
    void BackupStateMassege(int64_t type, int64_t slot, int64_t value);
    // The status line text of a state message (the value already clamped at 0).
    static std::string stateText(int64_t type, int64_t slot, int64_t value);

    // --- Job parameters (main thread before Start; read-only afterwards)
    int64_t begin_time = 0, end_time = 0;
    std::string m_ip, m_id, m_pw;
    int64_t m_port = 5445;
    std::atomic<uint64_t> SelectChnnalMASK{0};
    char m_dvr_BackupFilePath[kTextSize] = {};
    char m_dvr_BackupFileName[kTextSize] = {};

    // --- Session state
    // 1 once the comm thread got past connecting or gave up.
    std::atomic<uint8_t> m_isConnected{0};
    // The slot being backed up now; 16 when every chosen slot is done.
    std::atomic<int32_t> m_get_StartBackupChannel{0};
    // Set by the sender once the job is complete and it has shut the connections down.
    std::atomic<bool> m_jobDone{false};
    std::atomic<uint8_t> m_payload_type{0};
    std::array<std::atomic<uint8_t>, kMaxSlots> m_find_sps;
    tPAYLOAD_MGR m_buffer_mgr[kMaxSlots];  // receiver only

    // A slot's backup state (tBACKUP_PARAM::cmd) read and written under the slot's send lock,
    // where the request composer reads it too. Any thread.
    int32_t backupCmd(int slot);
    void setBackupCmd(int slot, int32_t cmd);
    // Sets the slot's state and sends ASK_BACKUP with it.
    int sendBackupCmd(int slot, int32_t cmd);

    // --- Threads
    void BackupCommProc();
    void RTPSendTProc();
    void RTPRecvTProc();
    void startRTPSendThread() {
        RTPSendThread.start([this] { RTPSendTProc(); });
    }
    void stopRTPSendThread() { RTPSendThread.stop(); }
    void waitForRTPSendThreadToFinish() { RTPSendThread.wait(); }
    void startRTPRecvThread() {
        RTPRecvThread.start([this] { RTPRecvTProc(); });
    }
    void stopRTPRecvThread() { RTPRecvThread.stop(); }
    void waitForRTPRecvThreadToFinish() { RTPRecvThread.wait(); }

    // The backup handling of one frame's packets: assembles the access unit and writes it,
    // with the audio collected before a key frame, into the slot's AVI file. Receiver thread.
    void rtpPayloadTProc2(int slot, tPAYLOAD_BUFFER* list, int count);

    // Microseconds between two frames from their 90 kHz RTP time stamps, bounded (below).
    static int64_t frameIntervalMicros(uint32_t previous, uint32_t current);
    // Appends a packet's audio to the session's block; audio that would not fit is written
    // first as a chunk of the slot's file. Receiver thread.
    void appendAudio(int slot, const uint8_t* data, size_t length);
    // Longest stretch of stream time one frame may stand for; a larger step of the time stamp
    // is a jump of the recording, not a frame interval.
    static constexpr uint32_t kMaxFrameIntervalMs = 60000;
    // Microseconds of an AVI frame (the writer's header says 33333).
    static constexpr int64_t kAviFrameMicros = 33333;

    // Files bigger than this are refused by the size check (tests make it small).
    uint64_t m_aviMaxSize = 2147483648ull;

  private:
    struct RecvState;
    // Wakes every thread blocked on a connection; the descriptors stay valid. Any thread.
    void shutdownAllSockets();
    // Closes the connections; only once no other thread uses them.
    void closeAllSockets();
    // Stops the sender and the receiver, then closes the connections. Comm thread.
    void endSessionThreads();
    bool connectSlot0();
    void recvLoop(RecvState& st, int n);
    ParseResult parseSlot(int slot, RecvSlot& rs, RecvState& st, int n);
    UnitResult handleTextReply(int slot, RecvSlot& rs, const uint8_t* unit, size_t avail, int n);
    bool handleReplyBody(int slot, const uint8_t* body, size_t length);
    UnitResult handleInterleaved(int slot, RecvSlot& rs, RecvState& st, const uint8_t* unit,
                                 size_t avail);
    UnitResult handleVideoPacket(int slot, RecvSlot& rs, RecvState& st, const uint8_t* unit,
                                 size_t avail);
    void frameComplete(int slot, RecvSlot& rs, RecvState& st);
    // Writes the collected audio as one chunk and empties the block. Receiver thread.
    void flushAudio(int slot, bool fillWhenEmpty);
    // The size check with the slot's send lock held; the stop request goes out after it.
    bool lengthCheck(int slot, uint32_t length);
    void writeVideo(int slot, const uint8_t* data, size_t length, bool key);
    void probeSize(int slot, const uint8_t* data, size_t length, int codec);
    void storeSession(int slot, const char* header, size_t headerLen);
    void postToMain(std::function<void()> fn);

    MainQueue& m_queue;
    std::shared_ptr<std::atomic<bool>> m_alive;
    BackupOutlets m_out;
    ThreadRef BackupCommThread{"BackupCommProc"};
    ThreadRef RTPRecvThread{"RTPRecvTProc"};
    ThreadRef RTPSendThread{"RTPSendTProc"};
    // Receiver only: stream time not yet matched by AVI frames, per slot, in microseconds.
    std::array<int64_t, kMaxSlots> m_pendingMicros{};
    std::vector<uint8_t> m_frame;     // receiver only: the frame being written
    RecvState* m_recv = nullptr;      // receiver only, while it runs
    std::vector<uint8_t> m_unitArea;  // receiver only: the assembler's output area
};

}  // namespace zaq
