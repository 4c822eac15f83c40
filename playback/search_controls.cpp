// The playback controls on the main thread: the playback command, the buttons and their
// ladders, Go, the time slider, the reset after a calendar request, the 0.5 s playback-time
// display that keeps the calendar on the day being played, the layout change, and the backup
// range with its hand-over to the backup window.
#include <cstdio>
#include <ctime>

#include "playback/SearchDialog.h"
#include "playback/play_codes.h"
#include "protocol/log.h"

namespace zaq {

void SearchDialog::setPlayEnabled(bool enabled) {
    m_playEnabled = enabled;
    m_playButton->setEnabled(enabled);
}

void SearchDialog::setSpeedEnabled(bool enabled) {
    m_speedEnabled = enabled;
    m_rewButton->setEnabled(enabled);
    m_ffButton->setEnabled(enabled);
}

void SearchDialog::setFrameEnabled(bool enabled) {
    m_frameEnabled = enabled;
    m_reverseFrameButton->setEnabled(enabled);
    m_fowardFrameButton->setEnabled(enabled);
}

void SearchDialog::searchTransfer(int code, int32_t time) {
    zlog("searchTransfer code %d, %d, sizeof(time) %lu\n", code, time, 4ul);
    if (time != 0) zlog("search transfer : time = %d", time);
    uint8_t cmd = searchCommandByte(code, m_currPlaySpeed);
    if (isSearchTransfer2()) {
        tSEARCH_PARAM2& s = m_searchParam2[0];
        s = {};
        s.begin_time = time;
        s.end_time = 0;
        s.cmd = cmd;
        s.channel_mask = code == PLAY_PAUSE ? 0u : 0xFFFFFFFFu;
    } else {
        tSEARCH_PARAM& s = m_searchParam[0];
        s.begin_time = code == PLAY_PAUSE ? 0 : time;
        s.end_time = 0;
        s.cmd = cmd;
        s.reserved1 = s.avi_backup = s.reserved2 = 0;
    }
    // A failed send is not reported: the window follows the command all the same.
    GET_PARAMETER(0, ASK_SEARCHTRANSFER);
    m_currPlaySpeed = code;
    if (const char* text = playCodeText(code)) m_textField_currPlaySpeed->setText(text);
    setFrameEnabled(frameStepsAllowed(code));
    setSpeedEnabled(speedButtonsAllowed(code));
    for (auto& p : m_searchParam)
        p.tv.clear();
}

void SearchDialog::playButtonPressed() {
    zlog("playButton Pressed");
    searchTransfer(playToggleCode(m_currPlaySpeed), 0);
    m_playButton->swapAlternate();
}

void SearchDialog::rewButtonPressed() {
    zlog("rewButtonPressed");
    int next = nextRewCode(m_currPlaySpeed);
    if (next >= 0) searchTransfer(next, 0);
}

void SearchDialog::ffButtonPressed() {
    zlog("ffButtonPressed");
    int next = nextFfCode(m_currPlaySpeed);
    if (next >= 0) searchTransfer(next, 0);
}

void SearchDialog::fowardFrameButtonPressed() {
    zlog("fframeButtonPressed");
    if (frameStepsAllowed(m_currPlaySpeed)) searchTransfer(PLAY_FRAME_FORWARD, 0);
}

void SearchDialog::reverseFrameButtonPressed() {
    zlog("rframeButtonPressed");
    if (frameStepsAllowed(m_currPlaySpeed)) searchTransfer(PLAY_FRAME_BACK, 0);
}

void SearchDialog::goBackButtonPressed() {
    int32_t begin = m_calenda.getDlsBegin(), end = m_calenda.getDlsEnd();
    int32_t t = goRequestTime(m_calenda.getSelectedDate() + m_selectTimeTag, begin, end);
    zlog(">>>>  search_time: %d, dls_begin: %d, dls_end: %d", t, begin, end);
    if (m_playButton->title() == "play") m_playButton->swapAlternate();
    setPlayEnabled(true);
    searchTransfer(PLAY_X1, t);
}

void SearchDialog::TimeConvert(int* hours, int* minutes, int* seconds, int s) {
    *hours = s / 3600;
    *minutes = s % 3600 / 60;
    *seconds = s % 60;
}

void SearchDialog::SearchTimeLineSliderValueChacged() {
    int s = SearchTimeLineSlider->intValue();
    int h, m, sec;
    TimeConvert(&h, &m, &sec, s);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", h, m, sec);
    m_selectTimeTag = s;
    SelectTimeTextField->setText(text);
}

void SearchDialog::resetSearchControls(bool chosen) {
    zlog("resetSearchControls");
    if (m_currPlaySpeed != PLAY_PAUSE) searchTransfer(PLAY_PAUSE, 0);
    m_searchParam[0].tv.tv_sec = chosen ? m_calenda.getSelectedDate() : 0;
    SearchTimeLineSlider->setIntValue(0);
    SearchTimeLineSliderValueChacged();
    setGoBackEnabled(chosen);
    if (m_playEnabled) {
        if (m_playButton->title() == "play") m_playButton->swapAlternate();
        setPlayEnabled(false);
    }
    setSpeedEnabled(false);
    setFrameEnabled(false);
}

void SearchDialog::setGoBackEnabled(bool enabled) {
    m_goBackEnabled = enabled;
    m_goBackButton->setEnabled(enabled);
    BackupBox->setHidden(!enabled);
}

void SearchDialog::logDate(int32_t month) {
    m_logdateParam[0].month = month;
    GET_PARAMETER(0, ASK_LOGDATE);
    zlog("ASK LOG DATE : %d", month);
}

void SearchDialog::logTimeLine(int32_t day) {
    m_loginfoParam[0].day = day;
    GET_PARAMETER(0, ASK_LOGINFO);
    zlog("ASK LOG TIMELINE : %d", day);
}

void SearchDialog::searchTimerProc() {
    if (!m_isConnected) {
        if (m_goBackEnabled) setGoBackEnabled(false);
        if (m_calenda.isEnabled()) m_calenda.setEnabled(false);
        m_textField_currPlaySpeed->setEnabled(false);
        if (m_playEnabled) {
            if (m_playButton->title() == "play") m_playButton->swapAlternate();
            setPlayEnabled(false);
        }
        setSpeedEnabled(false);
        setFrameEnabled(false);
        return;
    }
    // Forward play shows the latest channel, rewind the earliest; otherwise the first one.
    int direction = playDirection(m_currPlaySpeed);
    int64_t p = 0;
    for (const auto& param : m_searchParam) {
        int64_t v = param.tv.tv_sec;
        if (v == 0) continue;
        if (p == 0) {
            p = v;
        } else if (direction > 0) {
            p = std::max(p, v);
        } else if (direction < 0) {
            p = std::min(p, v);
        }
    }
    if (p == 0) return;

    int year = CalendaCtrl::extractYear(p), month = CalendaCtrl::extractMonth(p),
        day = CalendaCtrl::extractDay(p);
    int selYear = m_calenda.getSelectedYear(), selMonth = m_calenda.getSelectedMonth();
    if (year != selYear || month != selMonth) {
        zlog("month diff");
        bool later = year > selYear || (year == selYear && month > selMonth);
        // Switching the month asks for its recorded days, which pauses playback.
        m_calenda.changeYearAndMonth(year, month);
        int pick = later ? 1 : CalendaCtrl::getDayCountOfMonth(year, month);
        m_calenda.changeDay(m_calenda.FindItemByDay(pick));
        if (m_calenda.onRedraw) m_calenda.onRedraw();
    } else if (day != m_calenda.getSelectedDay()) {
        zlog("day diff");
        m_calenda.changeDay(m_calenda.FindItemByDay(day));
        if (m_calenda.onRedraw) m_calenda.onRedraw();
    }
    statusDisplay(formatDvrTime(p));
}

bool SearchDialog::setSplitMode(int mode, int channel, int group) {
    if (!Main_Dialog::setSplitMode(mode, channel, group)) return false;
    // The DVR re-sends the visible channels after a pause and a resume.
    int code = m_currPlaySpeed;
    searchTransfer(PLAY_PAUSE, 0);
    searchTransfer(code, 0);
    return true;
}

void SearchDialog::setSelectChannel(int slot) {
    Main_Dialog::setSelectChannel(slot);
    followAudioSelection();
}

// --- Backup range

void SearchDialog::BackupDefaultSet() {
    StartTimeTextField->setText("00:00:00");
    m_startTimeTag = 0;
    EndTimeTextField->setText("00:01:00");
    m_endTimeTag = 60;
}

void SearchDialog::StartTimeButtonPressed() {
    StartTimeTextField->setText(SelectTimeTextField->text());
    m_startTimeTag = m_selectTimeTag;
    EndTimeTextField->setText("Not Setting");
    m_endTimeTag = 0;
    zlog("StartTimeButtonPressed string[%s] tag[%d]", StartTimeTextField->text().c_str(),
         m_startTimeTag);
}

void SearchDialog::EndTimeButtonPressed() {
    zlog("EndTimeButtonPressed Start[%d] Select[%d]", m_startTimeTag, m_selectTimeTag);
    if (m_startTimeTag < m_selectTimeTag) {
        EndTimeTextField->setText(SelectTimeTextField->text());
        m_endTimeTag = m_selectTimeTag;
    } else {
        EndTimeTextField->setText("Not Setting");
        m_endTimeTag = 0;
    }
}

std::string SearchDialog::selectedDayText(const std::string& timeOfDay) const {
    // The backup window works in the machine's zone: the range is the selected day's wall
    // clock read there.
    int h = 0, m = 0, s = 0;
    if (std::sscanf(timeOfDay.c_str(), "%d:%d:%d", &h, &m, &s) != 3) return {};
    tm fields{};
    fields.tm_year = m_calenda.getSelectedYear() - 1900;
    fields.tm_mon = m_calenda.getSelectedMonth() - 1;
    fields.tm_mday = m_calenda.getSelectedDay();
    fields.tm_hour = h;
    fields.tm_min = m;
    fields.tm_sec = s;
    fields.tm_isdst = -1;
    return std::to_string(int64_t(mktime(&fields)));
}

void SearchDialog::BackupButtonPressed() {
    zlog("BackupButtonPressed Start[%d]", m_startTimeTag);
    if (m_startTimeTag < 0 || m_endTimeTag < 1) return;
    if (m_calenda.getSelectedYear() < 1 || m_calenda.getSelectedMonth() < 1 ||
        m_calenda.getSelectedDay() < 1) {
        return;
    }
    std::string start = selectedDayText(StartTimeTextField->text());
    std::string end = selectedDayText(EndTimeTextField->text());
    if (start.empty() || end.empty()) return;
    LoginInfoMap info{{"ID", m_textField_ID->text()},
                      {"PASS", m_textField_Pwd->text()},
                      {"IP", m_textField_IPDNS->text()},
                      {"PORT", m_textField_Port->text()},
                      {"StartDate", start},
                      {"EndDate", end}};
    m_isConnected = 1;
    connectButtonPressed();
    if (m_searchShell) m_searchShell->openBackupWindow(info);
}

}  // namespace zaq
