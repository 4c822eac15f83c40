// Backups end to end: the backup controller against the in-process simulated DVR, with the
// files checked by ffprobe and ffmpeg and the subtitle times against the recording times.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>
#include <algorithm>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "backup/BackupDialog.h"
#include "backup/backup_writer.h"
#include "sim/dvr_sim.h"
#include "tests/support/test_support.h"

namespace zaq {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sim::ConnectionInfo;
using sim::DvrSim;
using sim::SimOptions;

constexpr int64_t kBegin = 1772872200;  // 2026-03-07 08:30:00 UTC

std::string onPath(const std::string& program) {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/bin"}) {
        std::string candidate = std::string(dir) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The backup window without a window: plain outlets on a headless main loop.
struct BackupHarness : PlainBackupControls {
    BackupHarness() {
        message.onChange = [this](const std::string& t) { statuses.push_back(t); };
        dialog = std::make_unique<BackupDialog>(loop);
        dialog->setOutlets(outlets());
    }
    // Chooses the slots and range, and presses Start.
    void run(int port, std::vector<int> slots, int64_t from, int64_t to, const std::string& dir) {
        for (int s : slots)
            channels[size_t(s)]->setState(true);
        dialog->ChannelSelectCheckBoxPressed(slots.empty() ? 0 : slots[0]);
        dialog->LoginInfo({{"IP", "127.0.0.1"},
                           {"PORT", std::to_string(port)},
                           {"ID", "usher"},
                           {"PASS", "7394"},
                           {"StartDate", std::to_string(from)},
                           {"EndDate", std::to_string(to)}});
        folder.setText(dir);
        dialog->BackupSatartButtonPressed();
    }
    bool waitFor(const std::string& status, std::chrono::milliseconds timeout = 60s) {
        return loop.runUntilTrue(
            [&] {
                for (auto& s : statuses)
                    if (s == status) return true;
                return false;
            },
            timeout);
    }
    // Position of the first status equal to `text`, or -1.
    int indexOf(const std::string& text) const {
        for (size_t i = 0; i < statuses.size(); ++i)
            if (statuses[i] == text) return int(i);
        return -1;
    }

    HeadlessLoop loop;
    std::vector<std::string> statuses;
    std::unique_ptr<BackupDialog> dialog;
};

class BackupSession : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        std::string tmpl = ::testing::TempDir() + "backup_session_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        // The default folder goes under this home, not the user's.
        const char* home = ::getenv("HOME");
        savedHome = home ? home : "";
        ::setenv("HOME", dir.c_str(), 1);
        out = dir + "/out";
        fs::create_directories(out);
        ffprobe = onPath("ffprobe");
        ffmpeg = onPath("ffmpeg");
    }
    void TearDown() override {
        if (!savedHome.empty()) ::setenv("HOME", savedHome.c_str(), 1);
        if (!dir.empty()) fs::remove_all(dir);
    }
    SimOptions simOptions() const {
        SimOptions o;
        o.port = 0;
        o.max_channel = 8;
        o.width = 352;
        o.height = 240;
        return o;
    }
    void startSim(DvrSim& sim) {
        ASSERT_TRUE(sim.start());
        std::string why;
        ASSERT_TRUE(sim.waitForMedia(120s, &why)) << why;
    }
    static ConnectionInfo backupConnectionOf(const DvrSim& sim, int ch) {
        for (const auto& c : sim.connections())
            if (c.channel == ch && c.backup_requests > 0) return c;
        return {};
    }
    std::string avi(int slot) const {
        char name[64];
        std::snprintf(name, sizeof name, "/[CH%02d]08_30_00.avi", slot + 1);
        return out + name;
    }
    std::string smi(int slot) const { return avi(slot).substr(0, avi(slot).size() - 4) + ".smi"; }

    // "codec_name|nb_frames" of each stream, from the AVI headers.
    std::vector<std::string> streams(const std::string& file) const {
        auto r = test::runProcess({ffprobe, "-v", "error", "-show_entries",
                                   "stream=codec_name,nb_frames", "-of", "csv=p=0", file});
        std::vector<std::string> lines;
        std::stringstream s(r.out);
        for (std::string line; std::getline(s, line);)
            if (!line.empty()) lines.push_back(line);
        return lines;
    }
    // Decodes every frame; the error output, empty when all went well.
    std::string decodeErrors(const std::string& file) const {
        auto r = test::runProcess({ffmpeg, "-v", "error", "-i", file, "-f", "null", "-"});
        return r.exitCode == 0 ? r.err : "exit " + std::to_string(r.exitCode) + ": " + r.err;
    }

    std::string dir, out, ffprobe, ffmpeg, savedHome;
};

TEST_F(BackupSession, TwoChannelsBackUpOneAfterTheOtherIntoFilesThatDecode) {
    if (ffprobe.empty() || ffmpeg.empty()) GTEST_SKIP() << "ffprobe/ffmpeg not installed";
    // 30 frames a second need no empty chunks; 10 need two after every frame but the first.
    struct Case {
        int fps;
        int fillersPerFrame;
    };
    for (Case c : {Case{30, 0}, Case{10, 2}}) {
        SCOPED_TRACE("fps " + std::to_string(c.fps));
        SimOptions o = simOptions();
        o.fps = c.fps;
        o.gop = c.fps;
        DvrSim sim(o);
        startSim(sim);
        BackupHarness h;
        h.run(sim.port(), {2, 5}, kBegin, kBegin + 3, out);
        ASSERT_TRUE(h.waitFor("BACKUP COMPLATE")) << ::testing::PrintToString(h.statuses);

        // In order: slot 2 from start to stop, then slot 5, then the end of the job.
        const std::vector<std::string> milestones = {"Backup Start",     "Channel[03] START 0%",
                                                     "Channel[03] STOP", "Channel[06] START 0%",
                                                     "Channel[06] STOP", "BACKUP COMPLATE"};
        int last = -1;
        for (const auto& m : milestones) {
            int at = h.indexOf(m);
            EXPECT_GT(at, last) << m << " in " << ::testing::PrintToString(h.statuses);
            last = at;
        }
        // Progress shows at key frames from the DVR clock of the latest sender report; which
        // report came before which key frame is up to the network, so only its presence counts.
        EXPECT_TRUE(std::any_of(h.statuses.begin(), h.statuses.end(), [](const std::string& t) {
            return t.rfind("Channel[03] WORK ", 0) == 0;
        })) << ::testing::PrintToString(h.statuses);
        EXPECT_EQ(h.statuses.back(), "BACKUP COMPLATE");
        EXPECT_EQ(h.progress.value(), 100);
        h.dialog.reset();  // joins the session threads

        std::vector<std::string> files;
        for (auto& e : fs::directory_iterator(out))
            files.push_back(e.path().filename());
        EXPECT_EQ(files.size(), 4u) << ::testing::PrintToString(files);

        for (int slot : {2, 5}) {
            SCOPED_TRACE("slot " + std::to_string(slot));
            const uint64_t sent = backupConnectionOf(sim, slot).frames_sent;
            ASSERT_EQ(sent, uint64_t(3 * c.fps));
            auto s = streams(avi(slot));
            ASSERT_EQ(s.size(), 2u) << ::testing::PrintToString(s);
            EXPECT_EQ(s[0], "h264," + std::to_string(sent + c.fillersPerFrame * (sent - 1)));
            EXPECT_EQ(s[1].rfind("pcm_mulaw,", 0), 0u) << s[1];
            EXPECT_EQ(decodeErrors(avi(slot)), "");

            // Every subtitle shows the recording time of its place in the file.
            std::string sami = readFile(smi(slot));
            std::regex line("<SYNC Start=(\\d+)><P Class=SUBTTL>([0-9: -]+)\r\n");
            int lines = 0;
            for (std::sregex_iterator it(sami.begin(), sami.end(), line), e; it != e; ++it) {
                const int64_t ms = std::stoll((*it)[1]);
                EXPECT_EQ((*it)[2].str(), SamiTimeText(kBegin + ms / 1000)) << (*it)[0];
                ++lines;
            }
            EXPECT_EQ(lines, 2) << sami;
        }
    }
}

TEST_F(BackupSession, SingleChannelDvrBacksUpInEitherCodec) {
    if (ffprobe.empty() || ffmpeg.empty()) GTEST_SKIP() << "ffprobe/ffmpeg not installed";
    // With one channel no further connection's PLAY reply comes: the sender must start anyway.
    struct Case {
        sim::VideoCodec codec;
        const char* name;
    };
    for (Case c : {Case{sim::VideoCodec::H264, "h264"}, Case{sim::VideoCodec::H265, "hevc"}}) {
        SCOPED_TRACE(c.name);
        SimOptions o = simOptions();
        o.max_channel = 1;
        o.codec = c.codec;
        DvrSim sim(o);
        startSim(sim);
        BackupHarness h;
        h.run(sim.port(), {0}, kBegin, kBegin + 2, out);
        ASSERT_TRUE(h.waitFor("BACKUP COMPLATE")) << ::testing::PrintToString(h.statuses);
        h.dialog.reset();
        auto s = streams(avi(0));
        ASSERT_EQ(s.size(), 2u) << ::testing::PrintToString(s);
        EXPECT_EQ(s[0], std::string(c.name) + ",60");
        EXPECT_EQ(decodeErrors(avi(0)), "");
        fs::remove(avi(0));
        fs::remove(smi(0));
    }
}

TEST_F(BackupSession, ChannelWithoutRecordingLeavesNoFilesAndSaysNodata) {
    SimOptions o = simOptions();
    o.backup_no_data = {1};
    DvrSim sim(o);
    startSim(sim);
    BackupHarness h;
    h.run(sim.port(), {1}, kBegin, kBegin + 3, out);
    ASSERT_TRUE(h.waitFor("BACKUP COMPLATE")) << ::testing::PrintToString(h.statuses);
    EXPECT_LT(h.indexOf("Channel[02] START 0%"), h.indexOf("Channel[02] NODATA"));
    EXPECT_LT(h.indexOf("Channel[02] NODATA"), h.indexOf("Channel[02] STOP"));
    h.dialog.reset();
    EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(BackupSession, FilesThatCannotBeCreatedStopTheChannelAndTheJobGoesOn) {
    DvrSim sim(simOptions());
    startSim(sim);
    BackupHarness h;
    h.run(sim.port(), {2, 5}, kBegin, kBegin + 3, out + "/missing");
    ASSERT_TRUE(h.waitFor("BACKUP COMPLATE")) << ::testing::PrintToString(h.statuses);
    EXPECT_LT(h.indexOf("Channel[03] Data Full"), h.indexOf("Channel[06] Data Full"));
    EXPECT_EQ(h.indexOf("Channel[03] START 0%"), -1);
    h.dialog.reset();
    EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(BackupSession, CloseDuringABackupFinishesTheRunningChannelsFiles) {
    if (ffprobe.empty() || ffmpeg.empty()) GTEST_SKIP() << "ffprobe/ffmpeg not installed";
    SimOptions o = simOptions();
    // Twice real time: the recording second moves faster than the keep-alive period, and the
    // backup is still running when Close comes.
    o.backup_pace_percent = 200;
    DvrSim sim(o);
    startSim(sim);
    BackupHarness h;
    bool closeAsked = false;
    h.dialog->onCloseRequested = [&] { closeAsked = true; };
    h.run(sim.port(), {0}, kBegin, kBegin + 600, out);
    ASSERT_TRUE(h.waitFor("Channel[01] WORK 0%", 30s)) << ::testing::PrintToString(h.statuses);
    h.loop.runFor(1500ms);
    h.dialog->BackupCloseButtonPressed();
    ASSERT_TRUE(closeAsked);
    EXPECT_TRUE(h.startButton.enabled());
    // What the window does as it closes: disconnect, drop the controls, release the dialog.
    h.dialog->connectButtonPressed();
    h.dialog->reset();
    h.dialog.reset();

    auto s = streams(avi(0));
    ASSERT_EQ(s.size(), 2u) << ::testing::PrintToString(s);
    EXPECT_EQ(s[0].rfind("h264,", 0), 0u);
    EXPECT_GT(std::stoi(s[0].substr(5)), 30);
    EXPECT_EQ(decodeErrors(avi(0)), "");
    EXPECT_NE(readFile(smi(0)).find("</SAMI>"), std::string::npos);
}

TEST_F(BackupSession, CommandLineBackupPrintsTheStatesAndEndsWithCompletion) {
    DvrSim sim(simOptions());
    startSim(sim);
    auto r = test::runProcess({ZAQ_CLI_PATH, "backup", "--host", "127.0.0.1", "--port",
                               std::to_string(sim.port()), "--channels", "1,3", "--from",
                               "2026-03-07 08:30:00", "--to", "2026-03-07 08:30:02", "--out", out},
                              60s);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Channel[01] START 0%\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Channel[03] STOP\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("BACKUP COMPLATE\n"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(avi(0)));
    EXPECT_TRUE(fs::exists(avi(2)));
    EXPECT_FALSE(fs::exists(avi(1)));
}

}  // namespace
}  // namespace zaq
