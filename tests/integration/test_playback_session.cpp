// A playback session against the simulated DVR: the month's recorded days, a day's time line,
// Go at a time, FF and REW moving the playback time both ways, pause freezing it, and playback
// across midnight moving the calendar to the next day.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "live/MainQueue.h"
#include "playback/SearchDialog.h"
#include "playback/play_codes.h"
#include "sim/dvr_sim.h"

namespace zaq {
namespace {

using namespace std::chrono_literals;
using sim::DvrSim;
using sim::SimOptions;

const int64_t kMarch10 = CalendaCtrl::dvrTimeOf(2024, 3, 10);
const int64_t kMarch11 = CalendaCtrl::dvrTimeOf(2024, 3, 11);

SimOptions recordingSim(int channels, int protocolVersion) {
    SimOptions o;
    o.port = 0;
    o.max_channel = channels;
    o.protocol_version = protocolVersion;
    o.width = 176;
    o.height = 144;
    o.fps = 10;
    o.gop = 10;
    o.recorded_days = {kMarch10, kMarch11};
    return o;
}

// A playback window without a window: plain outlets on a headless loop. Its calendar's wall
// clock runs in March 2024.
struct PlaybackWindow {
    HeadlessLoop loop;
    PlainText address{"127.0.0.1"}, port, id{"usher"}, pwd{"7394"}, status, playState;
    PlainButton connectButton{"Connect"};
    std::unique_ptr<SearchDialog> dlg;
    std::vector<std::string> statuses;

    explicit PlaybackWindow(int simPort) {
        port.setText(std::to_string(simPort));
        status.onChange = [this](const std::string& t) { statuses.push_back(t); };
        SearchOutlets o;
        o.live.ipdns = &address;
        o.live.port = &port;
        o.live.id = &id;
        o.live.pwd = &pwd;
        o.live.connectButton = &connectButton;
        o.live.timeField = &status;
        o.currPlaySpeed = &playState;
        int64_t shift = int64_t(time(nullptr)) - CalendaCtrl::dvrTimeOf(2024, 3, 15);
        dlg = std::make_unique<SearchDialog>(loop, o,
                                             [shift] { return int64_t(time(nullptr)) - shift; });
        dlg->awakeFromNib(210, 245);
    }
    ~PlaybackWindow() { dlg->windowShouldClose(); }

    bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds span = 15s) {
        return loop.runUntilTrue(pred, span);
    }
    std::vector<int> highlightedDays() const {
        std::vector<int> days;
        for (int i = 0; i < CalendaCtrl::kDayCells; ++i) {
            const CalendaItem& it = dlg->calenda().item(i);
            if (it.Highlight) days.push_back(it.DayOfMonth);
        }
        std::sort(days.begin(), days.end());
        return days;
    }
    void clickDay(int day) {
        CalendaCtrl& cal = dlg->calenda();
        for (int i = 0; i < CalendaCtrl::kDayCells; ++i) {
            const CalendaItem& it = cal.item(i);
            if (it.DayOfMonth != day) continue;
            cal.mouseDown(it.ItemRect.x + it.ItemRect.w / 2, it.ItemRect.y + it.ItemRect.h / 2);
            cal.mouseUp();
            return;
        }
    }
    // The playback time on the status line, or 0 when it shows something else.
    int64_t shownTime() const {
        tm f{};
        if (!strptime(status.text().c_str(), "%Y-%m-%d %H:%M:%S", &f)) return 0;
        return int64_t(timegm(&f));
    }
};

int searchCommands(const DvrSim& sim) {
    auto c = sim.connections();
    return c.empty() ? 0 : c[0].search_requests;
}

TEST(PlaybackSession, RecordedDaysGoFfRewPauseAndMidnight) {
    DvrSim sim(recordingSim(2, 8));
    ASSERT_TRUE(sim.start());
    PlaybackWindow w(sim.port());
    w.dlg->connectButtonPressed();
    ASSERT_TRUE(w.runUntil([&] { return w.status.text() == "Connected"; })) << w.status.text();
    EXPECT_EQ(w.connectButton.title(), "Disconnect");

    // The session starts paused and the calendar marks the month's recorded days.
    ASSERT_TRUE(w.runUntil([&] { return w.highlightedDays() == std::vector<int>{10, 11}; }));
    EXPECT_EQ(w.playState.text(), "Paused");
    auto conns = sim.connections();
    ASSERT_EQ(conns.size(), 2u);
    EXPECT_EQ(conns[0].logdate_month, CalendaCtrl::dvrTimeOf(2024, 3, 1));
    EXPECT_EQ(conns[0].search_cmd, PLAY_PAUSE);
    EXPECT_EQ(conns[0].search_mask, 0u);
    EXPECT_TRUE(conns[1].audio);  // every channel asked for its sound once all played

    // Pick the 10th: its time line is asked for, and Go becomes available.
    w.clickDay(10);
    ASSERT_TRUE(w.runUntil([&] { return sim.connections()[0].loginfo_day == kMarch10; }));
    ASSERT_TRUE(w.runUntil([&] { return w.dlg->goBackEnabled(); }));

    // Go at the day's start (the slider is at 0).
    int before = searchCommands(sim);
    w.dlg->goBackButtonPressed();
    ASSERT_TRUE(w.runUntil([&] { return searchCommands(sim) > before; }));
    EXPECT_EQ(sim.connections()[0].search_begin, kMarch10);
    EXPECT_EQ(sim.connections()[0].search_cmd, PLAY_X1);
    EXPECT_EQ(sim.connections()[0].search_mask, 0xFFFFFFFFu);
    ASSERT_TRUE(w.runUntil([&] { return w.shownTime() >= kMarch10; })) << w.status.text();
    EXPECT_EQ(w.playState.text(), "Play (X1)");

    // Ten seconds before midnight (a jump while playing carries byte 0), then FF X2: the time
    // moves forward into the 11th.
    w.dlg->searchTransfer(PLAY_X1, int32_t(kMarch11 - 10));
    ASSERT_TRUE(w.runUntil([&] { return sim.connections()[0].search_cmd == 0; }));
    w.dlg->ffButtonPressed();
    w.dlg->ffButtonPressed();
    EXPECT_EQ(w.playState.text(), "FF X2");
    ASSERT_TRUE(w.runUntil([&] { return w.shownTime() > kMarch11; }, 30s)) << w.status.text();
    ASSERT_TRUE(w.runUntil([&] { return w.dlg->calenda().getSelectedDay() == 11; }));
    EXPECT_EQ(w.dlg->calenda().getSelectedMonth(), 3);
    EXPECT_EQ(w.dlg->currPlaySpeed(), PLAY_FF_X2);  // a new day does not pause

    // REW: the time goes back.
    int64_t atRew = w.shownTime();
    w.dlg->rewButtonPressed();
    EXPECT_EQ(w.playState.text(), "REW X1");
    ASSERT_TRUE(w.runUntil(
        [&] {
            int64_t t = w.shownTime();
            return t != 0 && t < atRew - 1;
        },
        30s))
        << w.status.text();

    // Pause: the status line keeps its last time.
    w.dlg->playButtonPressed();
    EXPECT_EQ(w.playState.text(), "Paused");
    std::string frozen = w.status.text();
    w.loop.runFor(1500ms);  // a few display ticks
    EXPECT_EQ(w.status.text(), frozen);

    w.dlg->connectButtonPressed();
    EXPECT_EQ(w.connectButton.title(), "Connect");
    EXPECT_EQ(w.playState.text(), "Stopped");
    EXPECT_TRUE(sim.waitFor([&] { return sim.openConnections() == 0; }, 5s));
}

TEST(PlaybackSession, OlderProtocolGetsTheShortCommandBlock) {
    DvrSim sim(recordingSim(1, 7));
    ASSERT_TRUE(sim.start());
    PlaybackWindow w(sim.port());
    w.dlg->connectButtonPressed();
    ASSERT_TRUE(w.runUntil([&] { return w.status.text() == "Connected"; })) << w.status.text();
    ASSERT_TRUE(w.runUntil([&] { return searchCommands(sim) >= 1; }));
    auto t = sim.transcript();
    int blocks = 0;
    for (const auto& r : t) {
        if (r.code() != ASK_SEARCHTRANSFER) continue;
        ++blocks;
        EXPECT_EQ(r.block.size(), 28u);
    }
    EXPECT_GE(blocks, 1);
    EXPECT_EQ(w.playState.text(), "Paused");
}

}  // namespace
}  // namespace zaq
