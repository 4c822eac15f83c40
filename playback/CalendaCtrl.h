// The month calendar of the playback window, toolkit-free: a 7 x 7 grid (a weekday header row
// above six week rows) with a month title and back / forward arrows. It marks the recorded
// days of the shown month, lets the user pick a day, asks its parent for the recorded days of
// a month and for the time line of a day (throttled to one request per wall-clock second), and
// keeps the daylight-saving window of the last time line. The Qt widget only draws it and
// forwards the mouse.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "live/MainQueue.h"
#include "ui/Outlets.h"
#include "ui/SplitLayout.h"

namespace zaq {

// What the calendar asks of the playback controller. Main thread.
class CalendaParent {
  public:
    virtual ~CalendaParent() = default;
    // Pause and reset the playback controls; `chosen` is true when a day is chosen.
    virtual void resetSearchControls(bool chosen) = 0;
    virtual void setGoBackEnabled(bool enabled) = 0;
    // Ask the DVR for the recorded days of the month starting at this DVR time.
    virtual void logDate(int32_t month) = 0;
    // Ask the DVR for the time line of the day starting at this DVR time.
    virtual void logTimeLine(int32_t day) = 0;
};

struct CalendaItem {
    Rect ItemRect;           // frame in the control, origin bottom left
    std::string Text;        // "" empty cell, the day number, or the weekday letter
    int32_t DayOfMonth = 0;  // 1 to 31, 0 empty; header cells keep their letter's code
    bool Highlight = false;  // the day holds recordings
    bool Selected = false;
    bool IsDayItem = false;  // weekday header row
    bool IsSunday = false;   // column 0
};

class CalendaCtrl {
  public:
    static constexpr int kCells = 49;
    static constexpr int kDayCells = 42;

    // `wallClock` gives the machine's seconds since 1970 (the request throttle and the month
    // shown at load); tests pass their own.
    explicit CalendaCtrl(MainQueue& queue, std::function<int64_t()> wallClock = {});
    ~CalendaCtrl();
    CalendaCtrl(const CalendaCtrl&) = delete;
    CalendaCtrl& operator=(const CalendaCtrl&) = delete;

    // --- Main thread
    // Lays the cells out for a control of width x height, shows the current month (GMT) and
    // starts the 0.5 s request timer.
    void awakeFromNib(double width, double height);
    // The control's current size; the arrows and hit areas follow it, the cells keep theirs.
    void setSize(double width, double height);
    void setParent(CalendaParent* parent) { m_parent = parent; }
    void setProgress(ProgressOutlet* pi) { m_logDatePI = pi; }
    // Called whenever the control needs drawing again.
    std::function<void()> onRedraw;

    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }
    void requestLogDate();
    void requestTimeLine();
    // One tick of the request timer (also driven by tests).
    void requestTimerProc();
    void setMonth(int year, int month);
    void changeYearAndMonth(int year, int month);
    void changeDay(CalendaItem* item);
    CalendaItem* FindItemByDay(int day);
    void setDayMask(int32_t mask);

    // Mouse, in the control's coordinates (origin bottom left, y up).
    void mouseDown(double x, double y);
    void mouseUp();
    void onClickItem(CalendaItem* item);
    void onClickBack();
    void onClickForward();

    // --- Replies; receive thread. The cells change on the main thread.
    void onLogDate(int32_t dayMask);
    void onTimeLine(int32_t dlsBegin, int32_t dlsEnd);

    // --- Readers
    int32_t getSelectedDate() const;  // DVR time of the selected day, 0 = none
    int getSelectedYear() const { return extractYear(m_selectedMonth); }
    int getSelectedMonth() const { return extractMonth(m_selectedMonth); }
    int getSelectedDay() const { return m_selectedDay > 0 ? m_selectedDay : 0; }
    int32_t getDlsBegin() const { return m_dlsBegin; }  // any thread
    int32_t getDlsEnd() const { return m_dlsEnd; }      // any thread
    int32_t selectedMonth() const { return m_selectedMonth; }
    const CalendaItem& item(int index) const { return m_items[index]; }
    bool backButtonDown() const { return m_backButtonDown; }
    bool forwardButtonDown() const { return m_forwardButtonDown; }
    int32_t pendingLogDate() const { return m_reqLogDate; }
    int32_t pendingTimeLine() const { return m_reqTimeLine; }

    // Geometry of the current size (content, grid, month title, arrows).
    Rect contentRect() const;
    Rect gridRect() const;
    Rect monthRect() const;
    Rect backArrowRect() const;
    Rect forwardArrowRect() const;
    // x in [x, x + w], y in (y, y + h).
    static bool isInRect(double x, double y, const Rect& r);

    // --- Date arithmetic (GMT)
    static int getDaybyDate(int year, int month, int day);  // 0 = Sunday
    static int getDayCountOfMonth(int year, int month);
    static int extractYear(int64_t date);
    static int extractMonth(int64_t date);
    static int extractDay(int64_t date);
    // DVR time of 00:00:00 on the given day.
    static int64_t dvrTimeOf(int year, int month, int day);

  private:
    void redraw();
    // Back in the month of the last clicked day: select it again, without a time line request.
    void reselectLastClicked(int year, int month);
    void stopProgress();
    void postToMain(std::function<void()> fn);

    MainQueue& m_queue;
    std::function<int64_t()> m_clock;
    std::shared_ptr<std::atomic<bool>> m_alive;
    std::unique_ptr<RepeatingTimer> m_timer;
    CalendaParent* m_parent = nullptr;
    ProgressOutlet* m_logDatePI = nullptr;
    double m_width = 0, m_height = 0;

    int32_t m_selectedMonth = 0;
    int32_t m_selectedDay = 0;
    bool m_enabled = false;
    int32_t m_reqLogDate = 0;
    int64_t m_lastReqTime = 0;
    int32_t m_reqTimeLine = 0;
    int64_t m_lastReqTimeLine = 0;
    bool m_backButtonDown = false, m_forwardButtonDown = false;
    CalendaItem m_items[kCells];
    CalendaItem* m_currSelectItem = nullptr;
    CalendaItem* m_prevSelectItem = nullptr;
    int m_lastSelectYear = 0, m_lastSelectMonth = 0, m_lastSelectDay = 0;
    // Written by the receive thread, read by the main thread.
    std::atomic<int32_t> m_dlsBegin{0}, m_dlsEnd{0};
};

}  // namespace zaq
