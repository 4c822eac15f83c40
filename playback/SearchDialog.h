// The playback window's controller, toolkit-free. It is a live controller (Main_Dialog) whose
// session is a playback session: its own comm thread and receive loop, the live decoders,
// renderer, audio output and keep-alive sender, and on top the playback controls (play, pause,
// REW / FF ladders, frame steps, Go), the time slider, the 0.5 s playback-time display, the
// month calendar and the backup range handed to the backup window.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "playback/CalendaCtrl.h"
#include "ui/Main_Dialog.h"

namespace zaq {

using LoginInfoMap = std::map<std::string, std::string>;

// A slider holding a second of the selected day. Main thread.
class SliderOutlet {
  public:
    virtual ~SliderOutlet() = default;
    virtual int intValue() const = 0;
    virtual void setIntValue(int value) = 0;
};

// A box shown or hidden as a whole. Main thread.
class BoxOutlet {
  public:
    virtual ~BoxOutlet() = default;
    virtual void setHidden(bool hidden) = 0;
    virtual bool isHidden() const = 0;
};

// What the application does for a playback window: open the backup window with the
// connection and the range ("IP", "PORT", "ID", "PASS", "StartDate", "EndDate"; the dates as
// seconds since 1970). Main thread.
class SearchShellOutlet {
  public:
    virtual ~SearchShellOutlet() = default;
    virtual void openBackupWindow(const LoginInfoMap& info) = 0;
};

class PlainSlider : public SliderOutlet {
  public:
    int intValue() const override { return m_value; }
    void setIntValue(int value) override { m_value = value; }

  private:
    int m_value = 0;
};

class PlainBox : public BoxOutlet {
  public:
    void setHidden(bool hidden) override { m_hidden = hidden; }
    bool isHidden() const override { return m_hidden; }

  private:
    bool m_hidden = false;
};

// The controls of a playback window; any left null is replaced by a plain outlet. The play
// button's title is the name of its image, "pause" with the alternate "play" at load.
struct SearchOutlets {
    LiveOutlets live;
    TextOutlet* currPlaySpeed = nullptr;
    ButtonOutlet* goBack = nullptr;
    ButtonOutlet* play = nullptr;
    ButtonOutlet* rew = nullptr;
    ButtonOutlet* ff = nullptr;
    ButtonOutlet* reverseFrame = nullptr;
    ButtonOutlet* fowardFrame = nullptr;
    SliderOutlet* slider = nullptr;
    TextOutlet* selectTime = nullptr;
    TextOutlet* startTime = nullptr;
    TextOutlet* endTime = nullptr;
    ButtonOutlet* startTimeButton = nullptr;
    ButtonOutlet* endTimeButton = nullptr;
    ButtonOutlet* backupButton = nullptr;
    BoxOutlet* backupBox = nullptr;
    ProgressOutlet* logDatePI = nullptr;
    SearchShellOutlet* shell = nullptr;
};

class SearchDialog : public Main_Dialog, public CalendaParent {
  public:
    // `wallClock` drives the calendar's request throttle (tests pass their own).
    SearchDialog(MainQueue& queue, const SearchOutlets& outlets,
                 std::function<int64_t()> wallClock = {});
    ~SearchDialog() override;

    // One-time setup once the window's controls exist; the calendar gets its size. Main thread.
    void awakeFromNib(double calendarWidth = 200, double calendarHeight = 200);

    // --- Session (main thread unless stated)
    void connectButtonPressed() override;
    void SearchConnectComplate();
    void startSearchCommThread();
    void stopSearchCommThread() { searchCommThread.stop(); }
    void startSearchRecvThread();
    void stopSearchRecvThread() { searchRecvThread.stop(); }
    void searchCommProc();                        // comm thread
    void searchRecvProc();                        // receive thread
    void statusDisplay(const std::string& text);  // any thread
    // The window closes: disconnect when connected, then release everything.
    void windowShouldClose();
    void reset();
    bool closeSearch() const { return m_closeSearch; }

    // --- Playback controls (main thread)
    void searchTransfer(int code, int32_t time);
    void playButtonPressed();
    void rewButtonPressed();
    void ffButtonPressed();
    void reverseFrameButtonPressed();
    void fowardFrameButtonPressed();
    void goBackButtonPressed();
    void SearchTimeLineSliderValueChacged();
    static void TimeConvert(int* hours, int* minutes, int* seconds, int secondOfDay);
    void searchTimerProc();
    bool setSplitMode(int mode, int channel, int group) override;
    void setSelectChannel(int slot) override;

    // --- Calendar requests (main thread)
    void resetSearchControls(bool chosen) override;
    void setGoBackEnabled(bool enabled) override;
    void logDate(int32_t month) override;
    void logTimeLine(int32_t day) override;

    // --- Backup range and hand-over (main thread)
    void BackupDefaultSet();
    void StartTimeButtonPressed();
    void EndTimeButtonPressed();
    void BackupButtonPressed();

    // --- State readers
    CalendaCtrl& calenda() { return m_calenda; }
    int currPlaySpeed() const { return m_currPlaySpeed; }
    int selectTimeTag() const { return m_selectTimeTag; }
    int startTimeTag() const { return m_startTimeTag; }
    int endTimeTag() const { return m_endTimeTag; }
    bool playEnabled() const { return m_playEnabled; }
    bool speedEnabled() const { return m_speedEnabled; }
    bool frameEnabled() const { return m_frameEnabled; }
    bool goBackEnabled() const { return m_goBackEnabled; }
    int audioSelectChannel() const { return m_AudioSelectChannel; }

  protected:
    // Receive-loop steps where a playback session differs from a live one.
    void playRule(int n) override;
    bool handleReplyBody(int slot, const uint8_t* body, size_t length) override;
    void onVideoRtcp(int slot, const uint8_t* pkt, size_t length) override;
    void onAudioRtcp(int slot) override;
    bool logsVideoFaults() const override { return false; }

  private:
    void disconnect();
    void closeSockets();
    void setPlayEnabled(bool enabled);
    void setSpeedEnabled(bool enabled);
    void setFrameEnabled(bool enabled);
    // Sends the audio request for the selected channel once it differs from the last asked.
    void followAudioSelection();
    std::string selectedDayText(const std::string& timeOfDay) const;

    struct PlainSet;
    std::unique_ptr<PlainSet> m_plainSearch;
    TextOutlet* m_textField_currPlaySpeed;
    ButtonOutlet* m_goBackButton;
    ButtonOutlet* m_playButton;
    ButtonOutlet* m_rewButton;
    ButtonOutlet* m_ffButton;
    ButtonOutlet* m_reverseFrameButton;
    ButtonOutlet* m_fowardFrameButton;
    SliderOutlet* SearchTimeLineSlider;
    TextOutlet* SelectTimeTextField;
    TextOutlet* StartTimeTextField;
    TextOutlet* EndTimeTextField;
    ButtonOutlet* StartTimeButoon;
    ButtonOutlet* EndTimeButoon;
    ButtonOutlet* BackupButton;
    BoxOutlet* BackupBox;
    SearchShellOutlet* m_searchShell;

    CalendaCtrl m_calenda;
    ThreadRef searchCommThread{"searchCommProc"};
    ThreadRef searchRecvThread{"searchRecvProc"};
    bool m_closeSearch = false;
    bool m_searchReset = false;
    // Written on the main thread, read by the receive thread.
    std::atomic<int32_t> m_currPlaySpeed{0};
    // Written by whichever thread notices a new selection first.
    std::atomic<int32_t> m_AudioSelectChannel{0};
    // Every slot has answered PLAY and asked for its audio (receive thread sets it).
    std::atomic<bool> m_audioStage{false};
    int m_selectTimeTag = 0, m_startTimeTag = 0, m_endTimeTag = 0;
    bool m_playEnabled = false, m_speedEnabled = false, m_frameEnabled = false;
    bool m_goBackEnabled = false;
};

}  // namespace zaq
