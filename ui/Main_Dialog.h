// The live window's controller, toolkit-free: the connect / disconnect state machine with its
// texts, the DVR clock in the status field, the entry/setup button and the teardown. The
// window hands it its controls as outlets; the command-line client hands it plain ones.
#pragma once

#include <memory>
#include <string>

#include "live/LiveSession.h"
#include "media/AudioOutput.h"
#include "media/ChannelView.h"
#include "media/DecoderWorkers.h"
#include "media/FrameRenderer.h"
#include "ui/Outlets.h"

namespace zaq {

// What the application shell does for a live window (address book, web setup).
class AppShellOutlet {
  public:
    virtual ~AppShellOutlet() = default;
    virtual void openSiteEntry(class Main_Dialog* owner) = 0;
    virtual void OpenRemoteSetupDevType(int devType, const std::string& ipDns, int webPort,
                                        int websslPort, const std::string& name) = 0;
};

// The controls of a live window; any left null is replaced by a plain outlet.
struct LiveOutlets {
    TextOutlet* ipdns = nullptr;
    TextOutlet* port = nullptr;
    TextOutlet* id = nullptr;
    TextOutlet* pwd = nullptr;
    ButtonOutlet* connectButton = nullptr;
    ProgressOutlet* connPI = nullptr;
    TextOutlet* timeField = nullptr;
    ButtonOutlet* entryAndSetupButton = nullptr;
    AlertOutlet* alert = nullptr;
    AppShellOutlet* shell = nullptr;
    PaneHostOutlet* panes = nullptr;
    // The 16 channel panes; a null entry gets a CaptureView (headless).
    ChannelView* views[kMaxSlots] = {};
};

class Main_Dialog : public LiveSession {
  public:
    Main_Dialog(MainQueue& queue, const LiveOutlets& outlets);
    ~Main_Dialog() override;

    // One-time setup once the window's controls exist. Main thread.
    void awakeFromNib();
    // Connects when idle, disconnects otherwise. Main thread.
    void connectButtonPressed() override;
    // The session is up (posted by the comm thread). Main thread.
    void connectComplate() override;
    // Fills the form unless a session is connecting or connected. Main thread.
    void setConnInfo(const std::string& address, const std::string& port, const std::string& id,
                     const std::string& password);
    void alterEntrySetupButton();
    void entryButtonPressed();
    void searchButtonPressed();
    void startTimer();
    // The 1 s clock: the newest DVR time of all slots, shown in UTC digit for digit.
    void timerProc();
    // Stops everything the controller started; the window calls it when it closes.
    void reset();

    // "yyyy-MM-dd HH:mm:ss" of a DVR time read as UTC.
    static std::string formatDvrTime(int64_t seconds);

    // True once connectComplate ran in the current or last session.
    bool cameUp() const { return m_cameUp; }

    // --- Split layouts and selection (main thread)
    void split1ButtonPressed() { setSplitMode(1, 0, 0); }
    void split4ButtonPressed() { setSplitMode(4, 0, 0); }
    void split9ButtonPressed() { setSplitMode(9, 0, 0); }
    void split10ButtonPressed() { setSplitMode(10, 0, 0); }
    void split16ButtonPressed() { setSplitMode(16, 0, 0); }
    // Lays the panes out; pages through groups when the mode stays; tells a live DVR which
    // channels to stream. Always true.
    virtual bool setSplitMode(int mode, int channel, int group);
    // Re-applies the current layout to a box whose size changed.
    void relayout();
    virtual void setSelectChannel(int slot);
    int getSelectChannel() const { return m_selCh; }
    int getSplitMode() const { return m_splitMode; }
    int getPrevSplitMode() const { return m_prevSplitMode; }
    int getGroupCount() const { return m_groupCount; }
    int getPrevGroupCount() const { return m_prevGroupCount; }
    void setPrevGroupCount(int group) { m_prevGroupCount = group; }
    // A click selects the pane's channel; a double click toggles the single-channel layout.
    void paneClicked(int slot, int clickCount);
    // Where the red selection frame goes, if the selected channel is in view.
    bool selectionFrame(Rect* frame) const;

    // --- PTZ (main thread): press sends the button's command for the selected channel,
    // release sends 0 for the channel selected then.
    void ptzPressed(int command);
    void ptzReleased();

    // The slot's channel view, or null above slot 15.
    ChannelView* getView(int slot) const;
    // A pane reports the rectangle it draws into (points); the title size follows its width.
    void setChannelUIRect(int slot, double x, double y, double width, double height);
    int paneWidth(int slot) const;
    // The media pipeline of this window's session.
    DecoderWorkers& decoders() { return *m_decoders; }
    FrameRenderer& renderer() { return *m_renderer; }
    AudioOutput& audio() { return m_audio; }
    // The headless view of a slot when the window gave none (tests, command-line client).
    CaptureView* captureView(int slot);

  protected:
    // Connect path up to the comm thread's start: the form's texts taken (cut to the fixed
    // fields), the panes out of logo mode, the button and fields in the connecting state.
    void enterConnecting();
    // Disconnect path: stop the threads, close the sockets, back to idle.
    void disconnect();
    void setLogoViews(bool logo);

    // The session's machinery.
    void startDecoderThreads(int count) override { m_decoders->startDecoderThreads(count); }
    void stopDecoderThreads(int count) override { m_decoders->stopDecoderThreads(count); }
    void startRenderThread() override { m_renderer->startRenderThread(); }
    void stopRenderThread() override { m_renderer->stopRenderThread(); }
    bool isRenderThreadRunning() const override { return m_renderer->isRunning(); }
    void audioInit() override { m_audio.audioInit(); }
    void audioUninit() override { m_audio.audioUninit(); }
    void playAudioData(const uint8_t* data, int length) override {
        m_audio.playAudioData(data, length);
    }

    TextOutlet* m_textField_IPDNS;
    TextOutlet* m_textField_Port;
    TextOutlet* m_textField_ID;
    TextOutlet* m_textField_Pwd;
    ButtonOutlet* m_connectButton;
    ProgressOutlet* m_connPI;
    TextOutlet* m_textField_Time;
    ButtonOutlet* m_entryAndSetupButton;
    AlertOutlet* m_alert;
    AppShellOutlet* m_shell;
    PaneHostOutlet* m_viewBox;
    int m_splitMode = 16, m_prevSplitMode = 16;
    int m_groupCount = 0, m_prevGroupCount = 0;
    int m_prevSelCh = 0;
    uint32_t m_displayChannelMask = 0xFFFF;
    std::unique_ptr<RepeatingTimer> m_timer;

  private:
    void placePanes(int mode, int group);
    void updateSelectionFrame();
    struct PlainSet;
    std::unique_ptr<PlainSet> m_plain;  // fall-backs for controls a window does not have
    bool m_cameUp = false;
    bool m_wasReset = false;
    CaptureView m_captureViews[kMaxSlots];
    ChannelView* m_views[kMaxSlots];
    std::array<std::atomic<int>, kMaxSlots> m_channelRectWidth;
    AudioOutput m_audio;
    std::unique_ptr<DecoderWorkers> m_decoders;
    std::unique_ptr<FrameRenderer> m_renderer;
};

}  // namespace zaq
