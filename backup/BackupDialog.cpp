// The backup window's controller: job parameters, channel mask, destination folder, Start and
// Close, and the state messages the session threads post.
#include "backup/BackupDialog.h"

#include <sys/stat.h>

#include <QStandardPaths>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "protocol/log.h"

namespace zaq {
namespace {

// Folder texts longer than this leave no room for "/[CHnn]HH_mm_ss.avi" in a 260-byte path.
constexpr size_t kMaxFolderBytes = 242;

// The seconds in the machine's time zone with a strftime pattern.
std::string formatLocal(int64_t seconds, const char* pattern) {
    time_t t = time_t(seconds);
    struct tm tmv {};
    if (!localtime_r(&t, &tmv)) return {};
    char text[64];
    size_t n = strftime(text, sizeof text, pattern, &tmv);
    return std::string(text, n);
}

std::string valueOf(const LoginInfoMap& info, const char* key) {
    auto it = info.find(key);
    return it == info.end() ? std::string() : it->second;
}

}  // namespace

BackupDialog::BackupDialog(MainQueue& queue)
    : m_queue(queue), m_alive(std::make_shared<std::atomic<bool>>(true)) {
    for (auto& f : m_find_sps)
        f = 0;
}

BackupDialog::~BackupDialog() {
    *m_alive = false;
    BackupCommThread.stop();  // its end stops the sender and the receiver as well
    endSessionThreads();
}

void BackupDialog::postToMain(std::function<void()> fn) {
    m_queue.post([alive = m_alive, fn = std::move(fn)] {
        if (*alive) fn();
    });
}

void BackupDialog::setOutlets(const BackupOutlets& outlets) {
    m_out = outlets;
    SelectChnnalMASK = ChannelMaskGet();
}

void BackupDialog::reset() {
    m_out = BackupOutlets{};
}

void BackupDialog::LoginInfo(const LoginInfoMap& info) {
    m_ip = valueOf(info, "IP");
    m_port = std::atol(valueOf(info, "PORT").c_str());
    m_id = valueOf(info, "ID");
    m_pw = valueOf(info, "PASS");
    if (m_out.startTime)
        m_out.startTime->setDateValue(std::atoll(valueOf(info, "StartDate").c_str()));
    if (m_out.endTime) m_out.endTime->setDateValue(std::atoll(valueOf(info, "EndDate").c_str()));
    BackupDirectoryDefaultSet();
    zlog("LoginInfo [%s][%ld][%s][%s]", m_ip.c_str(), long(m_port), m_id.c_str(), m_pw.c_str());
}

void BackupDialog::BackupDirectoryDefaultSet() {
    std::filesystem::path path =
        QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation).toStdString();
    int64_t start = m_out.startTime ? m_out.startTime->dateValue() : 0;
    path /= "ZAQ_client";
    path /= "Backup";
    path /= m_ip;
    path /= formatLocal(start, "%Y-%m-%d");
    if (DirectoryCreate(path.string()) && m_out.filePath) m_out.filePath->setText(path.string());
    zlog("BackupDirectoryDefaultSet path[%s]", path.c_str());
}

bool BackupDialog::DirectoryCreate(const std::string& path) {
    std::error_code ec;
    if (!path.empty() && std::filesystem::exists(path, ec)) return true;
    if (!path.empty() && std::filesystem::create_directories(path, ec)) return true;
    zlog("DirectoryCreate fail path[%s]", path.c_str());
    return false;
}

void BackupDialog::BackupDirectoryGet() {
    if (!m_out.folderChooser) return;
    auto chosen = m_out.folderChooser->chooseFolder(m_out.filePath ? m_out.filePath->text() : "");
    if (!chosen) return;
    zlog("BackupDirectoryGet[%s]", chosen->c_str());
    if (m_out.filePath) m_out.filePath->setText(*chosen);
}

void BackupDialog::ChannelSelectCheckBoxPressed(int tag) {
    if (tag == -1 && m_out.allChannels) {
        const bool on = m_out.allChannels->state();
        for (CheckBoxOutlet* box : m_out.channels) {
            if (box && box->tag() >= 0 && box->tag() < kMaxSlots) box->setState(on);
        }
    }
    SelectChnnalMASK = ChannelMaskGet();
}

uint64_t BackupDialog::ChannelMaskGet() const {
    uint64_t mask = 0;
    for (const CheckBoxOutlet* box : m_out.channels) {
        if (!box) continue;
        int t = box->tag();
        if (t >= 0 && t < kMaxSlots && box->state()) mask |= uint64_t(1) << t;
    }
    return mask;
}

bool BackupDialog::ChannelMaskState(uint64_t slot) const {
    return (SelectChnnalMASK.load() >> (slot % 64)) & 1;
}

void BackupDialog::BackupSatartButtonPressed() {
    const std::string folder = m_out.filePath ? m_out.filePath->text() : std::string();
    copyText(m_dvr_BackupFilePath, folder.c_str());
    int64_t start = m_out.startTime ? m_out.startTime->dateValue() : 0;
    copyText(m_dvr_BackupFileName, formatLocal(start, "%H_%M_%S").c_str());
    if (folder.size() > kMaxFolderBytes) return;
    BackupMassegeLabelTextChange("Backup Start");
    if (m_out.startButton) m_out.startButton->setEnabled(false);
    startBackupCommThread();
}

void BackupDialog::BackupCloseButtonPressed() {
    if (m_out.startButton) m_out.startButton->setEnabled(true);
    if (onCloseRequested) onCloseRequested();
}

void BackupDialog::startBackupCommThread() {
    begin_time = m_out.startTime ? m_out.startTime->dateValue() : 0;
    end_time = m_out.endTime ? m_out.endTime->dateValue() : 0;
    stopBackupCommThread();
    // The previous session must be gone before the slots are prepared again; its comm thread
    // ends the sender and the receiver on its way out.
    BackupCommThread.stop();
    RTPSendThread.stop();
    RTPRecvThread.stop();
    closeAllSockets();
    m_isConnected = 0;
    BackupCommThread.start([this] { BackupCommProc(); });
}

void BackupDialog::stopBackupCommThread() {
    // Only asks: the comm thread notices within 0.5 s and closes the sockets, which ends the
    // sender and the receiver. The destructor joins all three.
    if (auto t = BackupCommThread.get()) t->cancel();
}

std::string BackupDialog::stateText(int64_t type, int64_t slot, int64_t v) {
    char text[64];
    const long ch = long(slot + 1);
    switch (type) {
        case BACKUP_STATE_START:
            std::snprintf(text, sizeof text, "Channel[%02ld] START %ld%%", ch, long(v));
            break;
        case BACKUP_STATE_WORK:
            std::snprintf(text, sizeof text, "Channel[%02ld] WORK %ld%%", ch, long(v));
            break;
        case BACKUP_STATE_STOP:
            std::snprintf(text, sizeof text, "Channel[%02ld] STOP", ch);
            break;
        case BACKUP_STATE_NODATA:
            std::snprintf(text, sizeof text, "Channel[%02ld] NODATA", ch);
            break;
        case BACKUP_STATE_FULL:
            std::snprintf(text, sizeof text, "Channel[%02ld] Data Full", ch);
            break;
        case BACKUP_STATE_COMPLATE:
            std::snprintf(text, sizeof text, "BACKUP COMPLATE");
            break;
        default:
            text[0] = 0;
            break;
    }
    return text;
}

void BackupDialog::BackupStateMassege(int64_t type, int64_t slot, int64_t value) {
    const int64_t v = value < 0 ? 0 : value;
    std::string line = stateText(type, slot, v);
    if (type == BACKUP_STATE_START || type == BACKUP_STATE_WORK || type == BACKUP_STATE_COMPLATE) {
        char number[32];
        std::snprintf(number, sizeof number, "%ld", long(v));
        postToMain(
            [this, text = std::string(number)] { BackupProgressIndicatorValueChange(text); });
    }
    postToMain([this, line = std::move(line)] { BackupMassegeLabelTextChange(line); });
}

void BackupDialog::BackupMassegeLabelTextChange(const std::string& text) {
    if (m_out.message) m_out.message->setText(text);
}

void BackupDialog::BackupProgressIndicatorValueChange(const std::string& text) {
    if (m_out.progress) m_out.progress->setValue(double(std::atol(text.c_str())));
}

int32_t BackupDialog::backupCmd(int slot) {
    std::lock_guard<std::mutex> lock(m_sendLock[slot]);
    return m_backupParam[slot].cmd;
}

void BackupDialog::setBackupCmd(int slot, int32_t cmd) {
    std::lock_guard<std::mutex> lock(m_sendLock[slot]);
    m_backupParam[slot].cmd = cmd;
}

int BackupDialog::sendBackupCmd(int slot, int32_t cmd) {
    setBackupCmd(slot, cmd);
    return GET_PARAMETER(slot, ASK_BACKUP);
}

}  // namespace zaq
