// The playback controls without a window: the code table and ladders, the playback command as
// it reaches the wire in both block forms, Go with the daylight-saving window, the slider, the
// sender-report time, the playback-time display and the backup hand-over.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "live/MainQueue.h"
#include "playback/SearchDialog.h"
#include "playback/play_codes.h"
#include "protocol/wire.h"
#include "tests/support/test_support.h"

namespace zaq {
namespace {

// Runs the work posted so far on the main loop.
void drain(HeadlessLoop& loop) {
    bool done = false;
    loop.post([&] { done = true; });
    loop.runUntilTrue([&] { return done; }, std::chrono::seconds(10));
}

TEST(PlayCodes, TextsOfEveryCode) {
    const std::vector<std::pair<int, const char*>> table = {
        {0, "Stopped"},  {1, "Play (X1)"}, {2, "REW X1"},  {3, "FF X1"},   {8, "REW X2"},
        {9, "REW X4"},   {10, "REW X8"},   {11, "FF X2"},  {12, "FF X4"},  {13, "FF X8"},
        {14, "REW X16"}, {15, "FF X16"},   {16, "Paused"}, {17, "REW X32"}};
    for (auto& [code, text] : table)
        EXPECT_STREQ(playCodeText(code), text) << code;
    for (int code : {4, 5, 6, 7, 18})
        EXPECT_EQ(playCodeText(code), nullptr) << code;
}

TEST(PlayCodes, LaddersWrapAndStartFromAnyOtherCode) {
    std::vector<int> rew, ff;
    for (int c = PLAY_X1, i = 0; i < 6; ++i)
        rew.push_back(c = nextRewCode(c));
    for (int c = PLAY_X1, i = 0; i < 6; ++i)
        ff.push_back(c = nextFfCode(c));
    EXPECT_EQ(rew, (std::vector<int>{2, 8, 9, 10, 14, 2}));
    EXPECT_EQ(ff, (std::vector<int>{3, 11, 12, 13, 15, 3}));
    EXPECT_EQ(nextRewCode(PLAY_FF_X8), PLAY_REW_X1);
    EXPECT_EQ(nextFfCode(PLAY_REW_X32), PLAY_FF_X1);
    for (int idle : {PLAY_STOPPED, PLAY_PAUSE}) {
        EXPECT_EQ(nextRewCode(idle), -1);
        EXPECT_EQ(nextFfCode(idle), -1);
    }
}

TEST(PlayCodes, ToggleAndButtonRules) {
    for (int c : {0, 4, 5, 16})
        EXPECT_EQ(playToggleCode(c), PLAY_X1) << c;
    for (int c : {1, 2, 3, 8, 11, 15})
        EXPECT_EQ(playToggleCode(c), PLAY_PAUSE) << c;
    for (int c = 0; c <= 17; ++c) {
        bool frames = c == 4 || c == 5 || c == 16;
        EXPECT_EQ(frameStepsAllowed(c), frames) << c;
        EXPECT_EQ(speedButtonsAllowed(c), !frames && c != 0) << c;
    }
    EXPECT_EQ(searchCommandByte(PLAY_X1, PLAY_X1), 0);
    EXPECT_EQ(searchCommandByte(PLAY_X1, PLAY_PAUSE), 1);
    EXPECT_EQ(searchCommandByte(PLAY_PAUSE, PLAY_X1), 16);
}

TEST(PlayCodes, DaylightSavingWindowIsOpenAtBothEnds) {
    struct Case {
        int32_t t, report, go;
    };
    for (const Case& c : {Case{1500000, 1503600, 1496400}, Case{1000000, 1000000, 1000000},
                          Case{2000000, 2000000, 2000000}, Case{999999, 999999, 999999},
                          Case{1000001, 1003601, 996401}}) {
        EXPECT_EQ(senderReportTime(c.t, 1000000, 2000000), c.report) << c.t;
        EXPECT_EQ(goRequestTime(c.t, 1000000, 2000000), c.go) << c.t;
    }
    // Before any time line the window is (0, 0): nothing moves.
    EXPECT_EQ(senderReportTime(1500000, 0, 0), 1500000);
    EXPECT_EQ(ntpToDvrTime(2208988800u + 1700000000u), 1700000000);
}

// A playback command as it left on slot 0.
struct SentCommand {
    uint32_t length;
    int32_t begin, end;
    uint8_t cmd;
    uint32_t mask;  // 36-byte form only
};

struct TestDialog : SearchDialog {
    using SearchDialog::onVideoRtcp;
    using SearchDialog::SearchDialog;
};

struct FakeShell : SearchShellOutlet {
    std::vector<LoginInfoMap> opened;
    void openBackupWindow(const LoginInfoMap& info) override { opened.push_back(info); }
};

struct Playback {
    HeadlessLoop loop;
    test::SocketPair pair;
    PlainText currPlaySpeed, status;
    PlainButton play{"pause", "play"};
    PlainSlider slider;
    FakeShell shell;
    int64_t now = CalendaCtrl::dvrTimeOf(2024, 3, 15);
    std::unique_ptr<TestDialog> dlg;

    explicit Playback(int protocolVersion = 8) {
        SearchOutlets o;
        o.currPlaySpeed = &currPlaySpeed;
        o.play = &play;
        o.slider = &slider;
        o.shell = &shell;
        o.live.timeField = &status;
        dlg = std::make_unique<TestDialog>(loop, o, [this] { return now; });
        dlg->awakeFromNib();
        dlg->m_protVersion = protocolVersion;
        dlg->m_socks[0] = pair.a;
        copyText(dlg->m_session[0], "77");
    }
    ~Playback() { dlg->m_socks[0] = -1; }

    std::vector<SentCommand> sent() {
        std::string bytes = pair.drain(std::chrono::milliseconds(50));
        std::vector<SentCommand> out;
        for (size_t at = bytes.find("ZAQC"); at != std::string::npos;
             at = bytes.find("ZAQC", at + 4)) {
            const uint8_t* b = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
            size_t avail = bytes.size() - at;
            if (avail < 28 || b[8] != ASK_SEARCHTRANSFER) continue;
            SentCommand c{wire::le32At(b, avail, 4), int32_t(wire::le32At(b, avail, 16)),
                          int32_t(wire::le32At(b, avail, 20)), b[24], wire::le32At(b, avail, 28)};
            out.push_back(c);
        }
        return out;
    }
    void go(int secondOfDay) {
        slider.setIntValue(secondOfDay);
        dlg->SearchTimeLineSliderValueChacged();
        dlg->goBackButtonPressed();
    }
    void senderReport(int slot, int32_t dvrTime) {
        uint8_t sr[28] = {0x80, 200, 0, 6};
        wire::wrBE32(sr + 8, uint32_t(dvrTime) + 2208988800u);
        dlg->onVideoRtcp(slot, sr, sizeof sr);
    }
};

class LadderTexts : public ::testing::TestWithParam<bool> {};

TEST_P(LadderTexts, FivePressesFromPlayClimbToX16AndWrap) {
    bool rew = GetParam();
    Playback p;
    p.go(0);
    std::vector<std::string> texts;
    for (int i = 0; i < 6; ++i) {
        rew ? p.dlg->rewButtonPressed() : p.dlg->ffButtonPressed();
        texts.push_back(p.currPlaySpeed.text());
    }
    std::string w = rew ? "REW" : "FF";
    EXPECT_EQ(texts, (std::vector<std::string>{w + " X1", w + " X2", w + " X4", w + " X8",
                                               w + " X16", w + " X1"}));
    EXPECT_TRUE(p.dlg->speedEnabled());
    EXPECT_FALSE(p.dlg->frameEnabled());
}

INSTANTIATE_TEST_SUITE_P(RewAndFf, LadderTexts, ::testing::Bool());

TEST(PlaybackButtons, PlayTogglesAndFrameStepsOnlyWhenPausedOrStepping) {
    Playback p;
    p.dlg->fowardFrameButtonPressed();  // stopped: nothing
    p.dlg->rewButtonPressed();
    EXPECT_EQ(p.dlg->currPlaySpeed(), PLAY_STOPPED);
    p.go(0);
    EXPECT_EQ(p.play.title(), "pause");
    p.dlg->fowardFrameButtonPressed();  // playing: nothing
    EXPECT_EQ(p.dlg->currPlaySpeed(), PLAY_X1);
    p.dlg->playButtonPressed();
    EXPECT_EQ(p.currPlaySpeed.text(), "Paused");
    EXPECT_EQ(p.play.title(), "play");
    EXPECT_TRUE(p.dlg->frameEnabled());
    EXPECT_FALSE(p.dlg->speedEnabled());
    p.dlg->rewButtonPressed();  // paused: nothing
    EXPECT_EQ(p.dlg->currPlaySpeed(), PLAY_PAUSE);
    p.dlg->fowardFrameButtonPressed();
    p.dlg->reverseFrameButtonPressed();
    EXPECT_EQ(p.dlg->currPlaySpeed(), PLAY_FRAME_BACK);
    EXPECT_EQ(p.currPlaySpeed.text(), "Paused");
    p.dlg->playButtonPressed();
    EXPECT_EQ(p.currPlaySpeed.text(), "Play (X1)");
    std::vector<int> cmds;
    for (const SentCommand& c : p.sent())
        cmds.push_back(c.cmd);
    EXPECT_EQ(cmds, (std::vector<int>{1, 16, 4, 5, 1}));
}

TEST(PlaybackCommand, SecondGoAtX1SendsCommandByteZeroWithTheNewTime) {
    Playback p;
    p.go(100);
    p.go(200);
    auto sent = p.sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].cmd, 1);
    EXPECT_EQ(sent[0].begin, 100);
    EXPECT_EQ(sent[1].cmd, 0);
    EXPECT_EQ(sent[1].begin, 200);
    EXPECT_EQ(p.currPlaySpeed.text(), "Play (X1)");
}

TEST(PlaybackCommand, BlockFormsFollowTheProtocolVersion) {
    struct Case {
        int version;
        uint32_t length;
        int32_t pauseBegin;
        uint32_t pauseMask, playMask;
    };
    for (const Case& c : {Case{8, 36, 500, 0, 0xFFFFFFFFu}, Case{7, 28, 0, 0, 0}}) {
        Playback p(c.version);
        p.go(500);
        p.dlg->searchTransfer(PLAY_PAUSE, 500);
        auto sent = p.sent();
        ASSERT_EQ(sent.size(), 2u) << c.version;
        EXPECT_EQ(sent[0].length, c.length);
        EXPECT_EQ(sent[1].length, c.length);
        EXPECT_EQ(sent[0].begin, 500);
        EXPECT_EQ(sent[0].end, 0);
        EXPECT_EQ(sent[1].cmd, 16);
        EXPECT_EQ(sent[1].begin, c.pauseBegin) << c.version;
        if (c.version >= 8) {
            EXPECT_EQ(sent[0].mask, c.playMask);
            EXPECT_EQ(sent[1].mask, c.pauseMask);
        }
    }
}

TEST(PlaybackCommand, GoInsideTheDaylightSavingWindowAsksAnHourEarlier) {
    Playback p;
    p.dlg->calenda().onTimeLine(1000, 5000);
    for (int t : {3000, 1000, 5000})
        p.go(t);
    auto sent = p.sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].begin, 3000 - 3600);
    EXPECT_EQ(sent[1].begin, 1000);
    EXPECT_EQ(sent[2].begin, 5000);
}

TEST(PlaybackSlider, TimeTextOfTheSecondOfDay) {
    Playback p;
    for (auto [s, text] : std::vector<std::pair<int, std::string>>{
             {3600, "01:00:00"}, {60, "00:01:00"}, {86399, "23:59:59"}, {0, "00:00:00"}}) {
        p.slider.setIntValue(s);
        p.dlg->SearchTimeLineSliderValueChacged();
        EXPECT_EQ(p.dlg->selectTimeTag(), s);
    }
    int h, m, s;
    SearchDialog::TimeConvert(&h, &m, &s, 45296);
    EXPECT_EQ((std::vector<int>{h, m, s}), (std::vector<int>{12, 34, 56}));
}

TEST(PlaybackTime, SenderReportsAreStoredOnlyWhilePlaying) {
    Playback p;
    p.dlg->m_loginfoParam[0].dls_begin = 1000000;
    p.dlg->m_loginfoParam[0].dls_end = 2000000;
    p.senderReport(0, 1500000);  // stopped
    EXPECT_EQ(p.dlg->m_searchParam[0].tv.tv_sec, 0);
    p.go(0);
    for (auto [t, stored] : std::vector<std::pair<int32_t, int64_t>>{
             {1500000, 1503600}, {2000000, 2000000}, {1000000, 1000000}}) {
        p.senderReport(3, t);
        EXPECT_EQ(p.dlg->m_searchParam[3].tv.tv_sec, stored) << t;
    }
    p.dlg->playButtonPressed();  // pause clears every slot's time ...
    EXPECT_EQ(p.dlg->m_searchParam[3].tv.tv_sec, 0);
    p.senderReport(3, 1700000);  // ... and a report while paused leaves it alone
    EXPECT_EQ(p.dlg->m_searchParam[3].tv.tv_sec, 0);
    // Receiver reports and short packets are not sender reports.
    p.dlg->playButtonPressed();
    uint8_t rr[28] = {0x80, 201, 0, 6};
    p.dlg->onVideoRtcp(3, rr, sizeof rr);
    p.dlg->onVideoRtcp(3, rr, 8);
    EXPECT_EQ(p.dlg->m_searchParam[3].tv.tv_sec, 0);
}

// The 0.5 s display: which channel's time shows, and the calendar following the played day.
struct TimerCase {
    const char* name;
    int code;
    std::vector<int64_t> times;  // per slot
    int64_t shown;
};

class PlaybackTimer : public ::testing::TestWithParam<TimerCase> {};

TEST_P(PlaybackTimer, ShowsTheTimeOfTheLeadingChannel) {
    const TimerCase& c = GetParam();
    Playback p;
    p.dlg->m_isConnected = 1;
    p.dlg->searchTransfer(c.code, 0);
    for (size_t i = 0; i < c.times.size(); ++i)
        p.dlg->m_searchParam[i].tv.tv_sec = c.times[i];
    p.dlg->searchTimerProc();
    drain(p.loop);
    EXPECT_EQ(p.status.text(), Main_Dialog::formatDvrTime(c.shown));
}

const int64_t kDay = CalendaCtrl::dvrTimeOf(2024, 3, 10);
INSTANTIATE_TEST_SUITE_P(
    Directions, PlaybackTimer,
    ::testing::Values(
        TimerCase{"Forward", PLAY_FF_X4, {kDay + 50, 0, kDay + 90, kDay + 70}, kDay + 90},
        TimerCase{"Backward", PLAY_REW_X2, {kDay + 50, 0, kDay + 30, kDay + 70}, kDay + 30},
        TimerCase{"Paused", PLAY_PAUSE, {0, kDay + 50, kDay + 90}, kDay + 50}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PlaybackTimer, CalendarFollowsPlaybackAcrossMidnightAndMonthEnd) {
    Playback p;
    p.dlg->m_isConnected = 1;
    CalendaCtrl& cal = p.dlg->calenda();
    cal.setEnabled(true);
    cal.setMonth(2024, 3);
    drain(p.loop);
    cal.changeDay(cal.FindItemByDay(10));
    p.go(0);
    p.dlg->m_searchParam[0].tv.tv_sec = CalendaCtrl::dvrTimeOf(2024, 3, 11) + 5;
    p.dlg->searchTimerProc();
    drain(p.loop);
    EXPECT_EQ(cal.getSelectedDay(), 11);
    EXPECT_EQ(p.dlg->currPlaySpeed(), PLAY_X1);  // a new day does not pause

    p.dlg->m_searchParam[0].tv.tv_sec = CalendaCtrl::dvrTimeOf(2024, 4, 1) + 5;
    p.dlg->searchTimerProc();
    drain(p.loop);
    EXPECT_EQ(cal.getSelectedMonth(), 4);
    EXPECT_EQ(cal.getSelectedDay(), 1);
    EXPECT_EQ(p.dlg->currPlaySpeed(), PLAY_PAUSE);  // a new month asks for its days: pause

    // Rewinding back into March lands on its last day.
    p.dlg->searchTransfer(PLAY_REW_X1, 0);
    p.dlg->m_searchParam[0].tv.tv_sec = CalendaCtrl::dvrTimeOf(2024, 3, 31) + 5;
    p.dlg->searchTimerProc();
    EXPECT_EQ(cal.getSelectedMonth(), 3);
    EXPECT_EQ(cal.getSelectedDay(), 31);
}

TEST(PlaybackReset, DayChosenPausesAndDisablesThePlayControls) {
    Playback p;
    CalendaCtrl& cal = p.dlg->calenda();
    cal.setMonth(2024, 3);
    cal.changeDay(cal.FindItemByDay(10));
    p.go(3600);
    p.dlg->ffButtonPressed();
    p.dlg->resetSearchControls(true);
    EXPECT_EQ(p.currPlaySpeed.text(), "Paused");
    EXPECT_EQ(p.dlg->m_searchParam[0].tv.tv_sec, CalendaCtrl::dvrTimeOf(2024, 3, 10));
    EXPECT_EQ(p.slider.intValue(), 0);
    EXPECT_EQ(p.dlg->selectTimeTag(), 0);
    EXPECT_TRUE(p.dlg->goBackEnabled());
    EXPECT_FALSE(p.dlg->playEnabled());
    EXPECT_FALSE(p.dlg->speedEnabled());
    EXPECT_FALSE(p.dlg->frameEnabled());
    p.dlg->resetSearchControls(false);
    EXPECT_FALSE(p.dlg->goBackEnabled());
    EXPECT_EQ(p.dlg->m_searchParam[0].tv.tv_sec, 0);
    // Already paused: no second pause goes out.
    std::vector<int> cmds;
    for (const SentCommand& c : p.sent())
        cmds.push_back(c.cmd);
    EXPECT_EQ(cmds, (std::vector<int>{1, 3, 16}));
}

TEST(PlaybackBackup, RangeAndHandOver) {
    Playback p;
    CalendaCtrl& cal = p.dlg->calenda();
    cal.setMonth(2024, 3);
    cal.changeDay(cal.FindItemByDay(10));
    p.dlg->BackupDefaultSet();
    EXPECT_EQ(p.dlg->endTimeTag(), 60);

    p.slider.setIntValue(3600);
    p.dlg->SearchTimeLineSliderValueChacged();
    p.dlg->StartTimeButtonPressed();
    EXPECT_EQ(p.dlg->startTimeTag(), 3600);
    EXPECT_EQ(p.dlg->endTimeTag(), 0);  // "Not Setting"
    p.dlg->BackupButtonPressed();
    EXPECT_TRUE(p.shell.opened.empty());
    p.dlg->EndTimeButtonPressed();  // end not after start
    EXPECT_EQ(p.dlg->endTimeTag(), 0);

    p.slider.setIntValue(3900);
    p.dlg->SearchTimeLineSliderValueChacged();
    p.dlg->EndTimeButtonPressed();
    EXPECT_EQ(p.dlg->endTimeTag(), 3900);
    p.dlg->BackupButtonPressed();
    ASSERT_EQ(p.shell.opened.size(), 1u);
    const LoginInfoMap& info = p.shell.opened[0];
    // The range is the selected day's wall clock in the machine's zone.
    tm start{};
    start.tm_year = 124;
    start.tm_mon = 2;
    start.tm_mday = 10;
    start.tm_hour = 1;
    start.tm_isdst = -1;
    int64_t startSecs = int64_t(mktime(&start));
    EXPECT_EQ(info.at("StartDate"), std::to_string(startSecs));
    EXPECT_EQ(std::stoll(info.at("EndDate")) - startSecs, 300);
    for (const char* key : {"IP", "PORT", "ID", "PASS"})
        EXPECT_EQ(info.count(key), 1u) << key;
    EXPECT_FALSE(p.dlg->m_isConnected);  // the playback session was closed first
    p.pair.a = -1;                       // and its socket with it
}

}  // namespace
}  // namespace zaq
