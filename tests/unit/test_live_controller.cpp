// The live controller without a window: layouts, paging, selection, the setup gate and URLs.
#include <gtest/gtest.h>

#include "live/MainQueue.h"
#include "ui/Main_Dialog.h"
#include "ui/SplitLayout.h"
#include "ui/remote_setup.h"

namespace zaq {
namespace {

struct LayoutCase {
    int mode;
    std::vector<std::pair<int, Rect>> expected;  // view, frame
};

class Layouts : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(Layouts, GeometryOfA1000x800Box) {
    auto panes = layoutPanes(GetParam().mode, 0, 1000, 800);
    for (auto& [view, frame] : GetParam().expected) {
        auto it = std::find_if(panes.begin(), panes.end(), [&](auto& p) { return p.view == view; });
        ASSERT_NE(it, panes.end()) << "view " << view;
        EXPECT_EQ(it->frame, frame) << "mode " << GetParam().mode << " view " << view;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Layouts,
    ::testing::Values(
        LayoutCase{16, {{0, {11, 596, 243, 193}}, {1, {256, 596, 243, 193}}, {2, {501, 596, 243, 193}},
                        {3, {746, 596, 243, 193}}, {4, {11, 401, 243, 193}}, {8, {11, 206, 243, 193}},
                        {15, {746, 11, 243, 193}}}},
        LayoutCase{4, {{0, {11, 401, 488, 388}}, {1, {501, 401, 488, 388}}, {2, {11, 11, 488, 388}},
                       {3, {501, 11, 488, 388}}}},
        LayoutCase{1, {{0, {11, 11, 978, 778}}}},
        LayoutCase{9, {{0, {11, 531, 324, 258}}, {8, {663, 11, 324, 258}}}},
        LayoutCase{10, {{0, {11, 596, 243, 193}}, {7, {746, 401, 243, 193}}, {8, {11, 11, 488, 387}},
                        {9, {501, 11, 488, 387}}}}));

struct Controller {
    HeadlessLoop loop;
    PlainPaneHost panes{1000, 800};
    PlainText id{"usher"};
    PlainButton entry{"Site", "Remote Setup"};
    PlainAlert alert;
    std::unique_ptr<Main_Dialog> dlg;
    Controller() {
        LiveOutlets o;
        o.panes = &panes;
        o.id = &id;
        o.entryAndSetupButton = &entry;
        o.alert = &alert;
        dlg = std::make_unique<Main_Dialog>(loop, o);
        dlg->awakeFromNib();
    }
    std::vector<int> visible() const {
        std::vector<int> v;
        for (int i = 0; i < 16; ++i) {
            if (!panes.hidden[i]) v.push_back(i);
        }
        return v;
    }
};

std::vector<int> range(int a, int b) {
    std::vector<int> v;
    for (int i = a; i <= b; ++i) v.push_back(i);
    return v;
}

TEST(SplitPaging, PressingTheSameLayoutWalksItsGroups) {
    struct Step {
        void (Main_Dialog::*press)();
        std::vector<int> visible;
        int group;
    };
    const std::vector<Step> steps = {
        {&Main_Dialog::split4ButtonPressed, range(0, 3), 0},
        {&Main_Dialog::split4ButtonPressed, range(4, 7), 1},
        {&Main_Dialog::split4ButtonPressed, range(8, 11), 2},
        {&Main_Dialog::split4ButtonPressed, range(12, 15), 3},
        {&Main_Dialog::split4ButtonPressed, range(0, 3), 0},
        {&Main_Dialog::split9ButtonPressed, range(0, 8), 0},
        {&Main_Dialog::split9ButtonPressed, {0, 1, 9, 10, 11, 12, 13, 14, 15}, 1},
        {&Main_Dialog::split9ButtonPressed, range(0, 8), 0},
        {&Main_Dialog::split10ButtonPressed, range(0, 9), 0},
        {&Main_Dialog::split10ButtonPressed, {0, 1, 2, 3, 10, 11, 12, 13, 14, 15}, 1},
        {&Main_Dialog::split1ButtonPressed, {0}, 0},
        {&Main_Dialog::split1ButtonPressed, {1}, 1},
        {&Main_Dialog::split16ButtonPressed, range(0, 15), 0},
        {&Main_Dialog::split16ButtonPressed, range(0, 15), 0},
    };
    Controller c;
    int i = 0;
    for (const Step& s : steps) {
        (c.dlg.get()->*s.press)();
        EXPECT_EQ(c.visible(), s.visible) << "step " << i;
        EXPECT_EQ(c.dlg->getGroupCount(), s.group) << "step " << i;
        ++i;
    }
    // The 10-pane layout's second group: channels 2 and 3 in the large panes.
    c.dlg->split10ButtonPressed();
    c.dlg->split10ButtonPressed();
    EXPECT_EQ(c.panes.frames[2], (Rect{11, 11, 488, 387}));
    EXPECT_EQ(c.panes.frames[10], (Rect{11, 596, 243, 193}));
}

TEST(SplitPaging, OnePaneLayoutWrapsFrom15To0) {
    Controller c;
    c.dlg->setSplitMode(1, 15, 0);
    c.dlg->split1ButtonPressed();
    EXPECT_EQ(c.visible(), std::vector<int>{0});
    EXPECT_EQ(c.panes.frames[0], (Rect{11, 11, 978, 778}));
}

TEST(SplitPaging, DoubleClickShowsOneChannelAndReturnsToTheGroup) {
    Controller c;
    c.dlg->split4ButtonPressed();
    c.dlg->split4ButtonPressed();  // channels 4 to 7
    c.dlg->paneClicked(6, 2);
    EXPECT_EQ(c.visible(), std::vector<int>{6});
    EXPECT_EQ(c.dlg->getSplitMode(), 1);
    EXPECT_EQ(c.dlg->getSelectChannel(), 6);
    c.dlg->paneClicked(6, 2);
    EXPECT_EQ(c.visible(), range(4, 7));
    EXPECT_EQ(c.dlg->getSplitMode(), 4);
    EXPECT_EQ(c.dlg->getPrevSplitMode(), 4);  // leaving the single pane never remembers 1
    c.dlg->paneClicked(5, 1);  // a single click only selects
    EXPECT_EQ(c.dlg->getSplitMode(), 4);
    EXPECT_EQ(c.dlg->getSelectChannel(), 5);
}

TEST(Selection, RedFrameOnlyAroundAChannelInView) {
    Controller c;
    c.dlg->split9ButtonPressed();
    c.dlg->split9ButtonPressed();  // 9..15, 0, 1
    c.dlg->setSelectChannel(1);
    ASSERT_TRUE(c.panes.selectionVisible);
    EXPECT_EQ(c.panes.selection, c.panes.frames[1]);
    c.dlg->setSelectChannel(5);
    EXPECT_FALSE(c.panes.selectionVisible);
    Rect r;
    EXPECT_FALSE(c.dlg->selectionFrame(&r));
}

TEST(EntryButton, RemoteSetupGateAndTitles) {
    Controller c;
    EXPECT_EQ(c.entry.title(), "Site");
    c.dlg->m_isConnected = 1;
    c.dlg->alterEntrySetupButton();
    EXPECT_EQ(c.entry.title(), "Remote Setup");
    c.id.setText("guest");
    c.dlg->entryButtonPressed();
    EXPECT_EQ(c.alert.count, 1);
    EXPECT_EQ(c.alert.lastTitle, "Remote Setup - Unauthorized ID");
    EXPECT_EQ(c.alert.lastMessage, "Please log in as an usher.");
    c.id.setText("USHER");  // letter case does not matter
    c.dlg->entryButtonPressed();
    EXPECT_EQ(c.alert.count, 1);
    c.dlg->m_isConnected = 0;
    c.dlg->alterEntrySetupButton();
    EXPECT_EQ(c.entry.title(), "Site");
}

TEST(EntryButton, SetConnInfoIgnoredWhileConnected) {
    Controller c;
    c.dlg->m_isConnected = 1;
    c.dlg->setConnInfo("10.0.0.9", "80", "x", "y");
    EXPECT_NE(c.id.text(), "x");
    c.dlg->m_isConnected = 0;
    c.dlg->setConnInfo("10.0.0.9", "80", "x", "y");
    EXPECT_EQ(c.id.text(), "x");
}

TEST(RemoteSetup, Urls) {
    EXPECT_EQ(remoteSetupUrl(1, "dvr.lan", 80, 443), "https://dvr.lan:443/index.html?client");
    EXPECT_EQ(remoteSetupUrl(1, "dvr.lan", 80, 0), "http://dvr.lan:80/index.html?client");
    EXPECT_EQ(remoteSetupUrl(2, "10.0.0.2", 8080, 0), "http://10.0.0.2:8080/cgi-bin/websetup.cgi");
    EXPECT_EQ(remoteSetupUrl(2, "10.0.0.2", 8080, 8443), "https://10.0.0.2:8443/cgi-bin/websetup.cgi");
}

TEST(FormFields, LongTextsAreCutNotOverflowed) {
    EXPECT_EQ(cutUtf8(std::string(300, 'a'), 259).size(), 259u);
    std::string accents;
    for (int i = 0; i < 200; ++i) accents += "\xC3\xA9";  // é
    std::string cut = cutUtf8(accents, 259);
    EXPECT_EQ(cut.size(), 258u);  // never half a character
}

}  // namespace
}  // namespace zaq
