// The playback session's life: connect, the comm thread, the connected hand-over, disconnect
// and close.
#include "playback/SearchDialog.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "playback/play_codes.h"
#include "protocol/cancel.h"
#include "protocol/log.h"

namespace zaq {

struct SearchDialog::PlainSet {
    PlainText currPlaySpeed{"Stopped"}, selectTime{"00:00:00"}, startTime, endTime;
    PlainButton goBack{"Go"}, play{"pause", "play"}, rew{"REW"}, ff{"FF"}, reverseFrame{"<|"},
        fowardFrame{"|>"}, startTimeButton{"Start"}, endTimeButton{"End"}, backupButton{"Backup"};
    PlainSlider slider;
    PlainBox backupBox;
};

SearchDialog::SearchDialog(MainQueue& queue, const SearchOutlets& o,
                           std::function<int64_t()> wallClock)
    : Main_Dialog(queue, o.live),
      m_plainSearch(std::make_unique<PlainSet>()),
      m_calenda(queue, std::move(wallClock)) {
    PlainSet& p = *m_plainSearch;
    m_textField_currPlaySpeed = o.currPlaySpeed ? o.currPlaySpeed : &p.currPlaySpeed;
    m_goBackButton = o.goBack ? o.goBack : &p.goBack;
    m_playButton = o.play ? o.play : &p.play;
    m_rewButton = o.rew ? o.rew : &p.rew;
    m_ffButton = o.ff ? o.ff : &p.ff;
    m_reverseFrameButton = o.reverseFrame ? o.reverseFrame : &p.reverseFrame;
    m_fowardFrameButton = o.fowardFrame ? o.fowardFrame : &p.fowardFrame;
    SearchTimeLineSlider = o.slider ? o.slider : &p.slider;
    SelectTimeTextField = o.selectTime ? o.selectTime : &p.selectTime;
    StartTimeTextField = o.startTime ? o.startTime : &p.startTime;
    EndTimeTextField = o.endTime ? o.endTime : &p.endTime;
    StartTimeButoon = o.startTimeButton ? o.startTimeButton : &p.startTimeButton;
    EndTimeButoon = o.endTimeButton ? o.endTimeButton : &p.endTimeButton;
    BackupButton = o.backupButton ? o.backupButton : &p.backupButton;
    BackupBox = o.backupBox ? o.backupBox : &p.backupBox;
    m_searchShell = o.shell;
    m_calenda.setProgress(o.logDatePI);
}

SearchDialog::~SearchDialog() {
    // The session threads call this class's hooks: they end before any member goes.
    reset();
}

void SearchDialog::awakeFromNib(double calendarWidth, double calendarHeight) {
    Main_Dialog::awakeFromNib();
    // The playback window shows the playback time every half second instead of the clock.
    if (m_timer) m_timer->invalidate();
    m_timer = m_queue.scheduleTimer(std::chrono::milliseconds(500), [this] { searchTimerProc(); });
    for (auto& k : m_islive)
        k = KIND_PLAYBACK;

    SearchTimeLineSlider->setIntValue(0);
    SearchTimeLineSliderValueChacged();
    m_currPlaySpeed = PLAY_STOPPED;
    m_closeSearch = false;
    m_selCh = 0;
    m_AudioSelectChannel = 0;
    m_calenda.awakeFromNib(calendarWidth, calendarHeight);
    m_calenda.setParent(this);
    m_calenda.setEnabled(false);
    setGoBackEnabled(false);
    m_textField_currPlaySpeed->setText("Stopped");
    setPlayEnabled(false);
    setSpeedEnabled(false);
    setFrameEnabled(false);
}

void SearchDialog::statusDisplay(const std::string& text) {
    postToMain([this, text] { m_textField_Time->setText(text); });
}

// --- Connect and disconnect

void SearchDialog::connectButtonPressed() {
    zlog("connectButtonPressed [%d]", int(m_isConnected));
    if (m_isConnected) return disconnect();
    enterConnecting();
    startSearchCommThread();
}

void SearchDialog::startSearchCommThread() {
    // Starting joins the previous comm thread first: its exit closes the sockets it knows,
    // which must never be the new session's.
    searchCommThread.start([this] { searchCommProc(); });
}

void SearchDialog::startSearchRecvThread() {
    searchRecvThread.start([this] { searchRecvProc(); });
}

void SearchDialog::searchCommProc() {
    zlog("%s start", "searchCommProc");
    if (!connectSession(KIND_PLAYBACK)) return;

    int n = std::clamp(int(m_loginParam[0].max_channel), 1, int(kMaxSlots));
    startDecoderThreads(n);
    startRenderThread();
    startSearchRecvThread();
    audioInit();
    m_isConnected = 1;
    uint32_t generation = m_sessionGeneration;
    postToMain([this, generation] {
        if (generation != m_sessionGeneration || !m_isConnected) return;
        connectComplate();
        SearchConnectComplate();
    });

    watchSession();
    if (!currentThreadCancelled()) {
        // The session broke: the window stays connected until the user disconnects. The
        // threads that read the sockets end before the sockets go.
        searchRecvThread.stop();
        stopTcpSendThread();
        closeSockets();
    }
    zlog("End searchCommThread!");
}

void SearchDialog::closeSockets() {
    for (int slot = 0; slot < kMaxSlots; ++slot) {
        int sock = m_socks[slot].exchange(-1);
        if (sock == -1) continue;
        // Reset the connection rather than close it gracefully.
        linger lg{1, 0};
        setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        shutdown(sock, SHUT_RDWR);
        close(sock);
        zlog("close socket - %d", slot);
    }
}

void SearchDialog::SearchConnectComplate() {
    m_textField_Time->setText("Connected");
    setGoBackEnabled(true);
    BackupDefaultSet();
    BackupBox->setHidden(false);
    m_calenda.setEnabled(true);
    m_calenda.setParent(this);
    m_calenda.requestLogDate();
}

void SearchDialog::disconnect() {
    // Every thread that reads the sockets, the buffers or the views ends first; the decoder
    // workers too, so that no worker outlives the session's buffers.
    stopSearchCommThread();
    stopRenderThread();
    stopSearchRecvThread();
    audioUninit();
    stopTcpSendThread();
    stopDecoderThreads(kMaxSlots);
    closeSockets();
    setLogoViews(true);
    alterEntrySetupButton();
    for (auto& k : m_keepalive)
        k = {};
    {
        std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
        releaseStreamBuffers();
    }
    m_audioStage = false;

    m_isConnected = 0;
    m_connectButton->setTitle("Connect");
    m_connectButton->setHighlighted(false);
    m_connectButton->setEnabled(true);
    m_connPI->stopAnimation();
    for (TextOutlet* f : {m_textField_IPDNS, m_textField_Port, m_textField_ID, m_textField_Pwd}) {
        f->setEnabled(true);
    }
    m_calenda.setEnabled(false);
    setGoBackEnabled(false);
    m_currPlaySpeed = PLAY_STOPPED;
    m_textField_currPlaySpeed->setText("Stopped");
    if (m_playButton->title() == "play") m_playButton->swapAlternate();
    setPlayEnabled(false);
    setSpeedEnabled(false);
    setFrameEnabled(false);
}

void SearchDialog::windowShouldClose() {
    zlog("SearchWindow windowShouldClose");
    if (m_isConnected) disconnect();
    reset();
    m_closeSearch = true;
}

void SearchDialog::reset() {
    if (m_searchReset) return;
    m_searchReset = true;
    if (m_timer) m_timer->invalidate();
    searchCommThread.stop();
    searchRecvThread.stop();
    m_currPlaySpeed = PLAY_STOPPED;
    Main_Dialog::reset();
    closeSockets();
}

}  // namespace zaq
