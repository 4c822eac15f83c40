#include "ui/Main_Dialog.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>

#include "protocol/log.h"
#include "protocol/net_config.h"

namespace zaq {

struct Main_Dialog::PlainSet {
    PlainText ipdns, port, id, pwd, time;
    PlainButton connect{"Connect"}, entry{"Site", "Remote Setup"};
    PlainProgress progress;
    PlainAlert alert;
    PlainPaneHost panes;
};

Main_Dialog::Main_Dialog(MainQueue& queue, const LiveOutlets& o)
    : LiveSession(queue), m_plain(std::make_unique<PlainSet>()) {
    m_textField_IPDNS = o.ipdns ? o.ipdns : &m_plain->ipdns;
    m_textField_Port = o.port ? o.port : &m_plain->port;
    m_textField_ID = o.id ? o.id : &m_plain->id;
    m_textField_Pwd = o.pwd ? o.pwd : &m_plain->pwd;
    m_connectButton = o.connectButton ? o.connectButton : &m_plain->connect;
    m_connPI = o.connPI ? o.connPI : &m_plain->progress;
    m_textField_Time = o.timeField ? o.timeField : &m_plain->time;
    m_entryAndSetupButton = o.entryAndSetupButton ? o.entryAndSetupButton : &m_plain->entry;
    m_alert = o.alert ? o.alert : &m_plain->alert;
    m_shell = o.shell;
    m_viewBox = o.panes ? o.panes : &m_plain->panes;
    for (int slot = 0; slot < kMaxSlots; ++slot) {
        m_views[slot] = o.views[slot] ? o.views[slot] : &m_captureViews[slot];
        m_channelRectWidth[slot] = 0;
    }
    m_decoders =
        std::make_unique<DecoderWorkers>(*this, [this](int slot) { return getView(slot); });
    FrameRenderer::Host host;
    host.viewOf = [this](int slot) { return getView(slot); };
    host.selectedChannel = [this] { return int(m_selCh); };
    host.paneWidth = [this](int slot) { return paneWidth(slot); };
    m_renderer = std::make_unique<FrameRenderer>(*this, *m_decoders, host);
}

ChannelView* Main_Dialog::getView(int slot) const {
    return slot >= 0 && slot < kMaxSlots ? m_views[slot] : nullptr;
}

CaptureView* Main_Dialog::captureView(int slot) {
    return slot >= 0 && slot < kMaxSlots && m_views[slot] == &m_captureViews[slot]
               ? &m_captureViews[slot]
               : nullptr;
}

void Main_Dialog::setChannelUIRect(int slot, double, double, double width, double) {
    if (slot >= 0 && slot < kMaxSlots) m_channelRectWidth[slot] = int(width);
}

int Main_Dialog::paneWidth(int slot) const {
    return slot >= 0 && slot < kMaxSlots ? m_channelRectWidth[slot].load() : 0;
}

void Main_Dialog::setLogoViews(bool logo) {
    for (ChannelView* v : m_views)
        v->SetLogoView(logo);
}

Main_Dialog::~Main_Dialog() {
    zlog("Main dialog dealloc0");
    reset();
    zlog("Main dialog dealloc1");
}

void Main_Dialog::awakeFromNib() {
    setErrorString("");
    m_displayChannelMask = 0xFFFF;
    m_isConnected = 0;
    m_selCh = 0;
    m_prevSelCh = 0;
    m_splitMode = m_prevSplitMode = 16;
    m_groupCount = m_prevGroupCount = 0;
    m_protVersion = -1;
    m_textField_Time->setText("Not Connected");
    {
        std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
        releaseStreamBuffers();
    }
    m_device_s_addr = -1;
    copyText(m_dvr_addr, netConfig().defaultDdnsHost.c_str());
    m_dvr_port = 5445;
    copyText(m_dvr_id, "usher");
    copyText(m_dvr_pwd, "7394");
    for (auto& s : m_socks)
        s = -1;
    startTimer();
    placePanes(16, 0);
    updateSelectionFrame();
}

void Main_Dialog::connectButtonPressed() {
    zlog("connectButtonPressed [%d]", int(m_isConnected));
    if (m_isConnected) return disconnect();
    enterConnecting();
    startTcpCommThread();
}

void Main_Dialog::enterConnecting() {
    // Fixed 260-byte fields: longer input is cut at a character boundary.
    copyText(m_dvr_addr, cutUtf8(m_textField_IPDNS->text(), kTextSize - 1).c_str());
    m_dvr_port = std::atoi(m_textField_Port->text().c_str());
    copyText(m_dvr_id, cutUtf8(m_textField_ID->text(), kTextSize - 1).c_str());
    copyText(m_dvr_pwd, cutUtf8(m_textField_Pwd->text(), kTextSize - 1).c_str());
    setLogoViews(false);
    m_isConnected = 1;
    ++m_sessionGeneration;
    m_cameUp = false;
    m_connectButton->setTitle("Connecting...");
    m_textField_Time->setText("Connecting...");
    m_connectButton->setEnabled(false);
    m_connPI->startAnimation();
    for (TextOutlet* f : {m_textField_IPDNS, m_textField_Port, m_textField_ID, m_textField_Pwd}) {
        f->setEnabled(false);
    }
}

void Main_Dialog::connectComplate() {
    m_cameUp = true;
    m_connectButton->setTitle("Disconnect");
    m_connectButton->setHighlighted(true);
    m_connectButton->setEnabled(true);
    m_connPI->stopAnimation();
    m_textField_Time->setText("Receiving DVR Time...");
    alterEntrySetupButton();
}

void Main_Dialog::disconnect() {
    stopRenderThread();
    stopTcpCommThread();
    stopTcpRecvThread();
    stopTcpSendThread();
    stopDecoderThreads(kMaxSlots);
    audioUninit();
    for (int slot = 0; slot < kMaxSlots; ++slot) {
        int sock = m_socks[slot];
        if (sock != -1) {
            // Reset the connection rather than close it gracefully.
            linger lg{1, 0};
            setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            shutdown(sock, SHUT_RDWR);
            close(sock);
            m_socks[slot] = -1;
            zlog("close socket - %d", slot);
        }
    }
    setLogoViews(true);
    for (auto& k : m_keepalive)
        k = {};
    m_connectButton->setTitle("Connect");
    m_connectButton->setHighlighted(false);
    m_connectButton->setEnabled(true);
    m_connPI->stopAnimation();
    std::string error = errorString();
    m_textField_Time->setText(error.empty() ? "Disconnected" : error);
    for (TextOutlet* f : {m_textField_IPDNS, m_textField_Port, m_textField_ID, m_textField_Pwd}) {
        f->setEnabled(true);
    }
    m_isConnected = 0;
    alterEntrySetupButton();
}

void Main_Dialog::setConnInfo(const std::string& address, const std::string& port,
                              const std::string& id, const std::string& password) {
    if (m_isConnected) return;
    m_textField_IPDNS->setText(address);
    m_textField_Port->setText(port);
    m_textField_ID->setText(id);
    m_textField_Pwd->setText(password);
}

void Main_Dialog::alterEntrySetupButton() {
    bool setupShown = m_entryAndSetupButton->title() == "Remote Setup";
    if (m_isConnected == 1 ? !setupShown : setupShown) m_entryAndSetupButton->swapAlternate();
}

void Main_Dialog::entryButtonPressed() {
    if (m_entryAndSetupButton->title() != "Remote Setup") {
        if (m_shell) m_shell->openSiteEntry(this);
        return;
    }
    std::string id = m_textField_ID->text();
    std::transform(id.begin(), id.end(), id.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (id != "usher") {
        m_alert->runAlert("Remote Setup - Unauthorized ID", "Please log in as an usher.", "OK");
        return;
    }
    if (m_shell) {
        m_shell->OpenRemoteSetupDevType(m_loginParam[0].device_type < 200 ? 1 : 2, m_dvr_addr,
                                        m_loginParam[0].web_port, m_websslport,
                                        m_textField_IPDNS->text());
    }
}

void Main_Dialog::searchButtonPressed() {
    zlog("searchButtonPressed");
}

void Main_Dialog::startTimer() {
    m_timer = m_queue.scheduleTimer(std::chrono::seconds(1), [this] { timerProc(); });
}

std::string Main_Dialog::formatDvrTime(int64_t seconds) {
    time_t t = time_t(seconds);
    tm fields{};
    gmtime_r(&t, &fields);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
    return text;
}

void Main_Dialog::timerProc() {
    // The clock replaces "Receiving DVR Time..." only: a sender report that arrives before the
    // session is reported up must not be overwritten by that text a moment later.
    if (!m_isConnected || !m_cameUp) return;
    int64_t latest = latestDvrTime();
    if (latest == 0) return;
    m_textField_Time->setText(formatDvrTime(latest));
}

void Main_Dialog::reset() {
    if (m_wasReset) return;
    m_wasReset = true;
    zlog("Main dialog dialog reset");
    if (m_timer) m_timer->invalidate();
    m_timer.reset();
    setErrorString("");
    stopRenderThread();
    stopSessionThreads();
    stopDecoderThreads(kMaxSlots);
    audioUninit();
    for (auto& s : m_socks) {
        int sock = s.exchange(-1);
        if (sock != -1) close(sock);
    }
}

}  // namespace zaq

namespace zaq {

void Main_Dialog::placePanes(int mode, int group) {
    Rect box = m_viewBox->boxFrame();
    for (const PanePlacement& p : layoutPanes(mode, group, box.w, box.h)) {
        m_viewBox->setViewFrame(p.view, p.frame);
        m_viewBox->setViewHidden(p.view, false);
    }
}

bool Main_Dialog::setSplitMode(int mode, int channel, int group) {
    Rect box = m_viewBox->boxFrame();
    zlog("viewBox Bounds[%.0f %.0f %.0f %.0f]", box.x, box.y, box.w, box.h);
    if (group == 0 && mode != m_splitMode) {
        for (int slot = 0; slot < kMaxSlots; ++slot)
            m_viewBox->setViewHidden(slot, true);
        if (mode == 10) zlog("split Mode To 10");
        m_groupCount = mode == 1 ? channel : 0;
        placePanes(mode, m_groupCount);
    } else if (mode <= 10) {
        int old = m_groupCount;
        int next = group != 0 ? group : nextGroup(mode, old);
        m_groupCount = next;
        zlog("[prev] %d ~ %d => [curr] %d ~ %d", old * mode, old * mode + mode, next * mode,
             next * mode + mode);
        for (int i = old * mode; i < old * mode + mode && i < kMaxSlots; ++i) {
            m_viewBox->setViewHidden(i, true);
        }
        placePanes(mode, next);
    }
    if (m_splitMode != 1) m_prevSplitMode = m_splitMode;
    m_splitMode = mode;
    zlog("setSplitMode : %d selch : %d", mode, int(m_selCh));
    updateSelectionFrame();

    if (m_islive[0] == KIND_LIVE) {
        for (int slot = 0; slot < kMaxSlots; ++slot) {
            if (m_socks[slot] == -1) continue;
            sendLiveTransfer(slot, 0);
        }
        int start = m_groupCount * m_splitMode, end = start + m_splitMode;
        zlog("live transfer -> start : %d, end : %d", start, end);
        for (int i = start; i < end; ++i) {
            int slot = wrapChannel(i);
            if (slot < 0 || slot >= kMaxSlots) continue;
            sendLiveTransfer(slot, 1);
        }
    }
    return true;
}

void Main_Dialog::relayout() {
    placePanes(m_splitMode, m_groupCount);
    updateSelectionFrame();
}

void Main_Dialog::setSelectChannel(int slot) {
    if (slot < 0 || slot >= kMaxSlots) return;
    m_prevSelCh = int(m_selCh);
    m_selCh = slot;
    if (m_splitMode == 1) m_groupCount = slot;
    m_audio.channelChanged();
    zlog("setSelectChannel0 : [%d][%d]", slot, 1);
    updateSelectionFrame();
}

void Main_Dialog::paneClicked(int slot, int clickCount) {
    setSelectChannel(slot);
    if (clickCount != 2) return;
    if (m_splitMode == 1) {
        setSplitMode(m_prevSplitMode, slot, m_prevGroupCount);
    } else {
        setPrevGroupCount(m_groupCount);
        setSplitMode(1, slot, 0);
    }
}

bool Main_Dialog::selectionFrame(Rect* frame) const {
    int start = m_groupCount * m_splitMode, end = start + m_splitMode;
    int sel = m_selCh;
    bool inView = (start <= sel && sel < end) || (end >= 16 && start <= sel + 16 && sel + 16 < end);
    if (!inView) return false;
    Rect box = m_viewBox->boxFrame();
    for (const PanePlacement& p : layoutPanes(m_splitMode, m_groupCount, box.w, box.h)) {
        if (p.view == sel) {
            if (frame) *frame = p.frame;
            return true;
        }
    }
    return false;
}

void Main_Dialog::updateSelectionFrame() {
    Rect frame;
    bool visible = selectionFrame(&frame);
    m_viewBox->setSelectionFrame(visible, frame);
}

void Main_Dialog::ptzPressed(int command) {
    zlog("PTZ cmd = %d", command);
    ptzControl(m_selCh, command, 1);
}

void Main_Dialog::ptzReleased() {
    zlog("PTZ cmd = %d", 0);
    ptzControl(m_selCh, 0, 1);
}

}  // namespace zaq
