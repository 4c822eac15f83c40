#include "playback/CalendaCtrl.h"

#include <ctime>

#include "protocol/log.h"

namespace zaq {
namespace {

constexpr const char* kWeekLetters = "SMTWTFS";
constexpr int kHeaderRow = 6;

tm gmtFields(int64_t date) {
    time_t t = time_t(date);
    tm fields{};
    gmtime_r(&t, &fields);
    return fields;
}

}  // namespace

CalendaCtrl::CalendaCtrl(MainQueue& queue, std::function<int64_t()> wallClock)
    : m_queue(queue),
      m_clock(wallClock ? std::move(wallClock) : [] { return int64_t(time(nullptr)); }),
      m_alive(std::make_shared<std::atomic<bool>>(true)) {}

CalendaCtrl::~CalendaCtrl() {
    *m_alive = false;
    if (m_timer) m_timer->invalidate();
}

void CalendaCtrl::postToMain(std::function<void()> fn) {
    m_queue.post([alive = m_alive, fn = std::move(fn)] {
        if (*alive) fn();
    });
}

void CalendaCtrl::redraw() {
    if (onRedraw) onRedraw();
}

void CalendaCtrl::stopProgress() {
    if (m_logDatePI) m_logDatePI->stopAnimation();
}

// --- Geometry

Rect CalendaCtrl::contentRect() const {
    return {10, 45, m_width - 20, m_height - 70};
}
Rect CalendaCtrl::gridRect() const {
    return {15, 50, m_width - 30, m_height - 105};
}
Rect CalendaCtrl::monthRect() const {
    return {30, m_height - 50, m_width - 60, 20};
}

Rect CalendaCtrl::backArrowRect() const {
    Rect m = monthRect();
    return {m.x + 3, m.y + (m.h - 15) / 2, 15, 15};
}

Rect CalendaCtrl::forwardArrowRect() const {
    Rect m = monthRect();
    return {m.x + m.w - 18, m.y + (m.h - 15) / 2, 15, 15};
}

bool CalendaCtrl::isInRect(double x, double y, const Rect& r) {
    return x >= r.x && x <= r.x + r.w && y > r.y && y < r.y + r.h;
}

void CalendaCtrl::awakeFromNib(double width, double height) {
    m_width = width;
    m_height = height;
    Rect g = gridRect();
    for (int row = 0; row < 7; ++row) {
        for (int col = 0; col < 7; ++col) {
            CalendaItem& it = m_items[row * 7 + col];
            it = CalendaItem{};
            it.ItemRect = {g.x + col * g.w / 7, g.y + row * g.h / 7, g.w / 7, g.h / 7};
            it.DayOfMonth = kWeekLetters[col];
            it.IsDayItem = row == kHeaderRow;
            it.IsSunday = col == 0;
            if (it.IsDayItem) it.Text = std::string(1, kWeekLetters[col]);
        }
    }
    int64_t now = m_clock();
    setMonth(extractYear(now), extractMonth(now));
    m_timer = m_queue.scheduleTimer(std::chrono::milliseconds(500), [this] { requestTimerProc(); });
}

void CalendaCtrl::setSize(double width, double height) {
    m_width = width;
    m_height = height;
}

// --- Month arithmetic

int CalendaCtrl::getDaybyDate(int year, int month, int day) {
    if (month < 3) {
        month += 12;
        year -= 1;
    }
    int j = year / 100, k = year % 100;
    int w = (day + 21 * j / 4 + (26 * month + 26) / 10 + 5 * k / 4 - 1) % 7;
    return w < 0 ? w + 7 : w;
}

int CalendaCtrl::getDayCountOfMonth(int year, int month) {
    switch (month) {
        case 4:
        case 6:
        case 9:
        case 11:
            return 30;
        case 2:
            if (year % 400 == 0) return 29;
            if (year % 100 == 0) return 28;
            return year % 4 == 0 ? 29 : 28;
        default:
            return 31;
    }
}

int CalendaCtrl::extractYear(int64_t date) {
    return gmtFields(date).tm_year + 1900;
}
int CalendaCtrl::extractMonth(int64_t date) {
    return gmtFields(date).tm_mon + 1;
}
int CalendaCtrl::extractDay(int64_t date) {
    return gmtFields(date).tm_mday;
}

int64_t CalendaCtrl::dvrTimeOf(int year, int month, int day) {
    tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    return int64_t(timegm(&fields));
}

// --- Grid and selection

void CalendaCtrl::setMonth(int year, int month) {
    changeYearAndMonth(year, month);
    redraw();
}

void CalendaCtrl::changeYearAndMonth(int year, int month) {
    for (int i = 0; i < kCells; ++i) {
        CalendaItem& it = m_items[i];
        if (i < kDayCells) {
            it.DayOfMonth = 0;
            it.Text.clear();
        }
        it.Highlight = it.Selected = false;
    }
    m_currSelectItem = m_prevSelectItem = nullptr;
    m_selectedMonth = int32_t(dvrTimeOf(year, month, 1));
    m_selectedDay = 0;
    int first = getDaybyDate(year, month, 1);
    int count = getDayCountOfMonth(year, month);
    zlog("dayof1stDate = %d", first);
    for (int k = 0; k < count; ++k) {
        int p = first + k;
        int index = 35 + p % 7 - 7 * (p / 7);
        if (index < 0 || index >= kDayCells) continue;
        m_items[index].DayOfMonth = k + 1;
        m_items[index].Text = std::to_string(k + 1);
    }
    requestLogDate();
}

void CalendaCtrl::changeDay(CalendaItem* item) {
    if (item == m_currSelectItem) return;
    m_prevSelectItem = m_currSelectItem;
    if (m_prevSelectItem) m_prevSelectItem->Selected = false;
    m_currSelectItem = item;
    if (item) item->Selected = true;
    m_selectedDay = item ? item->DayOfMonth : 0;
}

CalendaItem* CalendaCtrl::FindItemByDay(int day) {
    for (CalendaItem& it : m_items) {
        if (it.DayOfMonth == day) return &it;
    }
    return nullptr;
}

void CalendaCtrl::setDayMask(int32_t mask) {
    for (CalendaItem& it : m_items)
        it.Highlight = false;
    // Bit d - 1 is day d; a 32nd day does not exist.
    for (int day = 1; day <= 31; ++day) {
        if (!(uint32_t(mask) & (1u << (day - 1)))) continue;
        if (CalendaItem* it = FindItemByDay(day)) it->Highlight = true;
    }
}

int32_t CalendaCtrl::getSelectedDate() const {
    if (m_selectedDay <= 0) return 0;
    return m_selectedMonth + (m_selectedDay - 1) * 86400;
}

void CalendaCtrl::setEnabled(bool enabled) {
    m_enabled = enabled;
    stopProgress();
    redraw();
}

// --- Requests

void CalendaCtrl::requestLogDate() {
    if (!m_parent || !m_enabled) return;
    postToMain([this] {
        if (m_parent) m_parent->resetSearchControls(false);
    });
    zlog(">>>>>> request Log Date : %d", m_selectedMonth);
    m_reqLogDate = m_selectedMonth;
    m_lastReqTime = m_clock();
}

void CalendaCtrl::requestTimeLine() {
    if (!m_parent || !m_enabled) return;
    postToMain([this] {
        if (m_parent) m_parent->resetSearchControls(false);
    });
    m_reqTimeLine = getSelectedDate();
    zlog(">>>>>> request TimeLine : %d", m_reqTimeLine);
    m_lastReqTimeLine = m_clock();
}

void CalendaCtrl::requestTimerProc() {
    int64_t now = m_clock();
    if (m_reqLogDate != 0) {
        if (m_lastReqTime < now) {
            if (m_parent && m_enabled) m_parent->logDate(m_reqLogDate);
            m_reqLogDate = 0;
            m_lastReqTime = 0;
        } else if (m_logDatePI) {
            m_logDatePI->startAnimation();
        }
    }
    if (m_reqTimeLine != 0) {
        if (m_lastReqTimeLine < now) {
            if (m_parent && m_enabled) m_parent->logTimeLine(m_reqTimeLine);
            m_reqTimeLine = 0;
            m_lastReqTimeLine = 0;
        } else if (m_logDatePI) {
            m_logDatePI->startAnimation();
        }
    }
}

// --- Replies

void CalendaCtrl::onLogDate(int32_t dayMask) {
    m_dlsBegin = 0;
    m_dlsEnd = 0;
    postToMain([this, dayMask] {
        setDayMask(dayMask);
        if (m_parent && m_currSelectItem) m_parent->setGoBackEnabled(m_currSelectItem->Highlight);
        stopProgress();
        redraw();
    });
}

void CalendaCtrl::onTimeLine(int32_t dlsBegin, int32_t dlsEnd) {
    m_dlsBegin = dlsBegin;
    m_dlsEnd = dlsEnd;
    postToMain([this] {
        if (m_parent) m_parent->resetSearchControls(true);
        redraw();
        stopProgress();
    });
}

// --- Mouse

void CalendaCtrl::mouseDown(double x, double y) {
    if (isInRect(x, y, contentRect())) {
        Rect g = gridRect();
        if (isInRect(x, y, g) && g.w > 0 && g.h > 0) {
            int row = int((y - g.y) / (g.h / 7));
            int col = int((x - g.x) / (g.w / 7));
            if (row >= 0 && row <= 6 && col >= 0 && col <= 6) {
                CalendaItem* it = &m_items[row * 7 + col];
                onClickItem(it);
                zlog("item.Text: %s", it->Text.c_str());
                requestTimeLine();
            }
        }
        if (isInRect(x, y, backArrowRect())) m_backButtonDown = true;
        if (isInRect(x, y, forwardArrowRect())) m_forwardButtonDown = true;
    }
    redraw();
}

void CalendaCtrl::mouseUp() {
    if (m_backButtonDown) {
        onClickBack();
        m_backButtonDown = false;
    } else if (m_forwardButtonDown) {
        onClickForward();
        m_forwardButtonDown = false;
    }
    redraw();
}

void CalendaCtrl::onClickItem(CalendaItem* item) {
    if (item->IsDayItem || item->DayOfMonth == 0) {
        postToMain([this] {
            if (m_parent) m_parent->setGoBackEnabled(false);
        });
    } else {
        changeDay(item);
        bool highlight = item->Highlight;
        postToMain([this, highlight] {
            if (!m_parent) return;
            m_parent->resetSearchControls(true);
            m_parent->setGoBackEnabled(highlight);
        });
    }
    m_lastSelectYear = getSelectedYear();
    m_lastSelectMonth = getSelectedMonth();
    m_lastSelectDay = getSelectedDay();
}

void CalendaCtrl::onClickBack() {
    if (!m_enabled) return;
    int y = getSelectedYear(), m = getSelectedMonth() - 1;
    if (m < 1) {
        m = 12;
        --y;
    }
    setMonth(y, m);
    reselectLastClicked(y, m);
}

void CalendaCtrl::onClickForward() {
    if (!m_enabled) return;
    int y = getSelectedYear(), m = getSelectedMonth() + 1;
    if (m > 12) {
        m = 1;
        ++y;
    }
    setMonth(y, m);
    reselectLastClicked(y, m);
}

void CalendaCtrl::reselectLastClicked(int year, int month) {
    if (m_lastSelectDay < 1 || year != m_lastSelectYear || month != m_lastSelectMonth) return;
    changeDay(FindItemByDay(m_lastSelectDay));
}

}  // namespace zaq
