// The month calendar without a window: month arithmetic, the grid, selection, the day mask,
// and the requests with their one-per-second throttle.
#include <gtest/gtest.h>

#include <vector>

#include "live/MainQueue.h"
#include "playback/CalendaCtrl.h"

namespace zaq {
namespace {

// Runs the work posted so far on the main loop.
void drain(HeadlessLoop& loop) {
    bool done = false;
    loop.post([&] { done = true; });
    loop.runUntilTrue([&] { return done; }, std::chrono::seconds(10));
}

struct DateCase {
    int year, month, day;
    int weekday;    // 0 = Sunday
    int monthDays;  // days of that month
};

class CalendaDates : public ::testing::TestWithParam<DateCase> {};

TEST_P(CalendaDates, WeekdayAndMonthLength) {
    const DateCase& c = GetParam();
    EXPECT_EQ(CalendaCtrl::getDaybyDate(c.year, c.month, c.day), c.weekday);
    EXPECT_EQ(CalendaCtrl::getDayCountOfMonth(c.year, c.month), c.monthDays);
}

INSTANTIATE_TEST_SUITE_P(Dates, CalendaDates,
                         ::testing::Values(DateCase{2000, 2, 1, 2, 29},   // divisible by 400
                                           DateCase{1900, 2, 1, 4, 28},   // by 100 only
                                           DateCase{2024, 2, 29, 4, 29},  // by 4
                                           DateCase{2023, 2, 1, 3, 28},
                                           DateCase{2024, 1, 1, 1, 31},    // a Monday
                                           DateCase{2023, 12, 31, 0, 31},  // a Sunday
                                           DateCase{2024, 4, 30, 2, 30},
                                           DateCase{2023, 7, 1, 6, 31}));  // starts on Saturday

TEST(CalendaDates, DvrTimeFieldsAreGmt) {
    int64_t t = CalendaCtrl::dvrTimeOf(2024, 12, 30) + 12 * 3600;
    EXPECT_EQ(CalendaCtrl::extractYear(t), 2024);
    EXPECT_EQ(CalendaCtrl::extractMonth(t), 12);
    EXPECT_EQ(CalendaCtrl::extractDay(t), 30);
    EXPECT_EQ(CalendaCtrl::dvrTimeOf(2024, 1, 1), 1704067200);
}

// The calendar's parent, recording what it was asked.
struct FakeParent : CalendaParent {
    std::vector<bool> resets, goBacks;
    std::vector<int32_t> logDates, timeLines;
    void resetSearchControls(bool chosen) override { resets.push_back(chosen); }
    void setGoBackEnabled(bool enabled) override { goBacks.push_back(enabled); }
    void logDate(int32_t month) override { logDates.push_back(month); }
    void logTimeLine(int32_t day) override { timeLines.push_back(day); }
};

struct Calendar {
    HeadlessLoop loop;
    int64_t now = CalendaCtrl::dvrTimeOf(2024, 3, 15) + 100;
    FakeParent parent;
    CalendaCtrl cal{loop, [this] { return now; }};

    explicit Calendar(bool enabled = true) {
        cal.awakeFromNib(210, 245);  // grid 180 x 140: cells 25.7 x 20
        cal.setParent(&parent);
        cal.setEnabled(enabled);
    }
    void settle() { drain(loop); }
    void click(double x, double y) {
        cal.mouseDown(x, y);
        cal.mouseUp();
        settle();
    }
    void clickCell(int index) {
        const Rect& r = cal.item(index).ItemRect;
        click(r.x + r.w / 2, r.y + r.h / 2);
    }
    void clickDay(int day) {
        for (int i = 0; i < CalendaCtrl::kDayCells; ++i) {
            if (cal.item(i).DayOfMonth == day) return clickCell(i);
        }
        FAIL() << "no cell for day " << day;
    }
    void clickArrow(const Rect& r) { click(r.x + r.w / 2, r.y + r.h / 2); }
    // A request timer tick in the next wall-clock second.
    void tickNextSecond() {
        ++now;
        cal.requestTimerProc();
        settle();
    }
};

TEST(CalendaGrid, ThirtyOneDayMonthStartingOnSaturdayFillsSixRows) {
    Calendar c;
    c.cal.setMonth(2023, 7);
    // Day 1 at row 5, column 6; day 31 at row 0, column 1; row 6 is the header.
    EXPECT_EQ(c.cal.item(5 * 7 + 6).DayOfMonth, 1);
    EXPECT_EQ(c.cal.item(5 * 7 + 6).Text, "1");
    EXPECT_EQ(c.cal.item(0 * 7 + 1).DayOfMonth, 31);
    EXPECT_EQ(c.cal.item(0 * 7 + 0).DayOfMonth, 30);
    EXPECT_EQ(c.cal.item(5 * 7 + 5).DayOfMonth, 0);
    EXPECT_EQ(c.cal.item(0 * 7 + 2).DayOfMonth, 0);
    EXPECT_EQ(c.cal.item(6 * 7 + 0).Text, "S");
    EXPECT_TRUE(c.cal.item(6 * 7 + 0).IsDayItem);
    EXPECT_TRUE(c.cal.item(3 * 7 + 0).IsSunday);
    EXPECT_EQ(c.cal.selectedMonth(), CalendaCtrl::dvrTimeOf(2023, 7, 1));
}

TEST(CalendaGrid, CellsAndArrowsFollowTheGeometry) {
    Calendar c;
    // Grid (15, 50, 180, 140): row 0 at the bottom.
    const Rect& cell = c.cal.item(1 * 7 + 2).ItemRect;
    EXPECT_NEAR(cell.x, 15 + 2 * 180.0 / 7, 1e-9);
    EXPECT_NEAR(cell.y, 50 + 1 * 20.0, 1e-9);
    EXPECT_EQ(c.cal.monthRect(), (Rect{30, 195, 150, 20}));
    EXPECT_EQ(c.cal.backArrowRect(), (Rect{33, 197.5, 15, 15}));
    EXPECT_EQ(c.cal.forwardArrowRect(), (Rect{162, 197.5, 15, 15}));
    // Left and right edges inside, top and bottom edges outside.
    EXPECT_TRUE(CalendaCtrl::isInRect(33, 200, c.cal.backArrowRect()));
    EXPECT_TRUE(CalendaCtrl::isInRect(48, 200, c.cal.backArrowRect()));
    EXPECT_FALSE(CalendaCtrl::isInRect(40, 197.5, c.cal.backArrowRect()));
    EXPECT_FALSE(CalendaCtrl::isInRect(40, 212.5, c.cal.backArrowRect()));
}

TEST(CalendaMask, HighlightsRecordedDaysOnly) {
    Calendar c;
    c.cal.setMonth(2024, 4);  // 30 days
    // Days 1 and 15, day 31 (no such day in April) and bit 31 (a 32nd day).
    c.cal.onLogDate(int32_t((1u << 0) | (1u << 14) | (1u << 30) | (1u << 31)));
    c.settle();
    std::vector<int> lit;
    for (int i = 0; i < CalendaCtrl::kCells; ++i) {
        if (c.cal.item(i).Highlight) lit.push_back(c.cal.item(i).DayOfMonth);
    }
    EXPECT_EQ(lit, (std::vector<int>{15, 1}));  // index order: later weeks sit lower
}

TEST(CalendaMask, DayMaskReplyClearsTheDaylightSavingWindow) {
    Calendar c;
    c.cal.onTimeLine(1000000, 2000000);
    EXPECT_EQ(c.cal.getDlsBegin(), 1000000);
    EXPECT_EQ(c.cal.getDlsEnd(), 2000000);
    c.cal.onLogDate(0);
    EXPECT_EQ(c.cal.getDlsBegin(), 0);
    EXPECT_EQ(c.cal.getDlsEnd(), 0);
    c.settle();
    // The time line reply resets the controls with a day chosen.
    EXPECT_EQ(c.parent.resets.back(), true);
}

TEST(CalendaSelection, DayClickSelectsAndAsksForItsTimeLine) {
    Calendar c;
    c.cal.setMonth(2024, 3);
    c.cal.onLogDate(1 << 9);  // day 10 recorded
    c.settle();
    c.parent = {};
    c.clickDay(10);
    EXPECT_EQ(c.cal.getSelectedDay(), 10);
    EXPECT_EQ(c.cal.getSelectedDate(), CalendaCtrl::dvrTimeOf(2024, 3, 10));
    // Reset with a day chosen, Go per the day's highlight, then the request's own reset.
    EXPECT_EQ(c.parent.resets, (std::vector<bool>{true, false}));
    EXPECT_EQ(c.parent.goBacks, (std::vector<bool>{true}));
    EXPECT_TRUE(c.parent.timeLines.empty());
    c.tickNextSecond();
    EXPECT_EQ(c.parent.timeLines,
              (std::vector<int32_t>{int32_t(CalendaCtrl::dvrTimeOf(2024, 3, 10))}));

    c.parent = {};
    c.clickDay(11);  // not recorded
    EXPECT_EQ(c.parent.goBacks, (std::vector<bool>{false}));
}

TEST(CalendaSelection, HeaderOrEmptyCellKeepsTheSelectionAndDisablesGo) {
    Calendar c;
    c.cal.setMonth(2023, 7);
    c.clickDay(5);
    for (int index : {6 * 7 + 3, 5 * 7 + 0}) {  // a weekday letter, an empty cell
        c.parent = {};
        c.clickCell(index);
        EXPECT_EQ(c.cal.getSelectedDay(), 5);
        EXPECT_EQ(c.parent.goBacks, (std::vector<bool>{false}));
    }
}

TEST(CalendaRequests, ArrowClicksWithinOneSecondSendOneRequestForTheLastMonth) {
    Calendar c;
    c.tickNextSecond();  // the load's own request leaves
    c.parent = {};
    for (int i = 0; i < 3; ++i)
        c.clickArrow(c.cal.forwardArrowRect());
    c.cal.requestTimerProc();  // same second: nothing leaves
    EXPECT_TRUE(c.parent.logDates.empty());
    c.tickNextSecond();
    c.tickNextSecond();
    EXPECT_EQ(c.parent.logDates,
              (std::vector<int32_t>{int32_t(CalendaCtrl::dvrTimeOf(2024, 6, 1))}));
    EXPECT_EQ(c.cal.getSelectedMonth(), 6);
}

TEST(CalendaRequests, DisabledCalendarIgnoresArrowsAndSendsNothing) {
    Calendar c(false);
    c.clickArrow(c.cal.backArrowRect());
    c.tickNextSecond();
    EXPECT_EQ(c.cal.getSelectedMonth(), 3);
    EXPECT_TRUE(c.parent.logDates.empty());
    EXPECT_TRUE(c.parent.resets.empty());
}

TEST(CalendaRequests, BackToTheMonthOfTheLastClickedDayReselectsItWithoutATimeLine) {
    Calendar c;
    c.clickDay(20);
    c.tickNextSecond();
    ASSERT_EQ(c.parent.timeLines.size(), 1u);
    c.clickArrow(c.cal.forwardArrowRect());
    EXPECT_EQ(c.cal.getSelectedDay(), 0);
    c.clickArrow(c.cal.backArrowRect());
    EXPECT_EQ(c.cal.getSelectedMonth(), 3);
    EXPECT_EQ(c.cal.getSelectedDay(), 20);
    c.tickNextSecond();
    EXPECT_EQ(c.parent.timeLines.size(), 1u);
}

TEST(CalendaRequests, YearWrapsAtTheArrows) {
    Calendar c;
    c.cal.setMonth(2024, 12);
    c.clickArrow(c.cal.forwardArrowRect());
    EXPECT_EQ(c.cal.getSelectedYear(), 2025);
    EXPECT_EQ(c.cal.getSelectedMonth(), 1);
    c.clickArrow(c.cal.backArrowRect());
    c.clickArrow(c.cal.backArrowRect());
    EXPECT_EQ(c.cal.getSelectedYear(), 2024);
    EXPECT_EQ(c.cal.getSelectedMonth(), 11);
}

}  // namespace
}  // namespace zaq
