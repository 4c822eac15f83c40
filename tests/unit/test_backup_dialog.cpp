// The backup controller without a DVR: state messages, channel mask, the Start rules, the
// default folder, and the per-frame pieces that decide what lands in the AVI file.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backup/BackupDialog.h"
#include "backup/backup_writer.h"

namespace zaq {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int64_t kBegin = 1772872200;  // 2026-03-07 08:30:00 UTC

struct DialogFixture : ::testing::Test, PlainBackupControls {
    void SetUp() override {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        std::string tmpl = ::testing::TempDir() + "backup_dialog_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        start.setDateValue(kBegin);
        end.setDateValue(kBegin + 60);
        outlets = PlainBackupControls::outlets();
        dialog = std::make_unique<BackupDialog>(loop);
        dialog->setOutlets(outlets);
    }
    void TearDown() override {
        dialog.reset();
        fs::remove_all(dir);
    }

    std::string dir;
    HeadlessLoop loop;
    std::array<std::unique_ptr<PlainCheckBox>, kMaxSlots>& boxes = channels;
    BackupOutlets outlets;
    std::unique_ptr<BackupDialog> dialog;
};

using BackupDialogTest = DialogFixture;

TEST_F(BackupDialogTest, StateMessagesPostTheLineAndForSomeTypesTheBar) {
    struct Row {
        int64_t type, slot, value;
        const char* text;
        int progress;  // -1: the bar is left alone
    };
    const Row rows[] = {
        {0, 2, -5, "Channel[03] START 0%", 0},
        {1, 0, 42, "Channel[01] WORK 42%", 42},
        {2, 15, 7, "Channel[16] STOP", -1},
        {3, 1, 0, "Channel[02] NODATA", -1},
        {4, 4, 0, "Channel[05] Data Full", -1},
        {5, 8, 100, "BACKUP COMPLATE", 100},
        {9, 0, 3, "", -1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        progress.setValue(55);
        message.setText("before");
        dialog->BackupStateMassege(r.type, r.slot, r.value);
        EXPECT_EQ(message.text(), "before");  // nothing changes before the main loop runs
        loop.runFor(10ms);
        EXPECT_EQ(message.text(), r.text);
        EXPECT_EQ(progress.value(), r.progress < 0 ? 55 : r.progress);
    }
}

TEST_F(BackupDialogTest, MaskComesFromChannelBoxesOnlyAndTheAllBoxSetsEveryOne) {
    PlainCheckBox stray16(16, true), strayNeg(-2, true);
    outlets.channels[0] = &stray16;  // boxes whose tags are no channel never count
    outlets.channels[1] = &strayNeg;
    dialog->setOutlets(outlets);
    boxes[3]->setState(true);
    dialog->ChannelSelectCheckBoxPressed(3);
    EXPECT_EQ(dialog->SelectChnnalMASK.load(), uint64_t(1) << 3);
    EXPECT_TRUE(dialog->ChannelMaskState(3));
    EXPECT_TRUE(dialog->ChannelMaskState(64 + 3));  // the slot is taken modulo 64
    EXPECT_FALSE(dialog->ChannelMaskState(4));

    all.setState(true);
    dialog->ChannelSelectCheckBoxPressed(-1);
    EXPECT_EQ(dialog->SelectChnnalMASK.load(), 0xFFFCull);  // slots 0 and 1 are the strays
    EXPECT_TRUE(stray16.state());
    all.setState(false);
    dialog->ChannelSelectCheckBoxPressed(-1);
    EXPECT_EQ(dialog->SelectChnnalMASK.load(), 0u);
}

TEST_F(BackupDialogTest, FolderOver242BytesDoesNotStartAndShowsNothing) {
    folder.setText(dir + "/" + std::string(242 - dir.size(), 'a'));
    message.setText("ready");
    dialog->BackupSatartButtonPressed();
    EXPECT_TRUE(startButton.enabled());
    EXPECT_EQ(message.text(), "ready");
    EXPECT_STREQ(dialog->m_dvr_BackupFileName, "08_30_00");  // the base name is taken anyway
}

TEST_F(BackupDialogTest, StartWithAFailingConnectionKeepsBackupStart) {
    dialog->LoginInfo({{"IP", "127.0.0.1"},
                       {"PORT", "1"},
                       {"ID", "usher"},
                       {"PASS", "7394"},
                       {"StartDate", std::to_string(kBegin)},
                       {"EndDate", std::to_string(kBegin + 60)}});
    folder.setText(dir);
    dialog->BackupSatartButtonPressed();
    EXPECT_FALSE(startButton.enabled());
    // The failure posts nothing, so the loop is run in short turns.
    for (int i = 0; i < 500 && dialog->m_isConnected == 0; ++i)
        loop.runFor(20ms);
    ASSERT_EQ(dialog->m_isConnected, 1);
    loop.runFor(50ms);
    EXPECT_EQ(message.text(), "Backup Start");
    EXPECT_EQ(dialog->errorString(), "Connection Failed");
}

// Points HOME and XDG_CONFIG_HOME somewhere else while alive.
struct HomeOverride {
    explicit HomeOverride(const std::string& home) {
        for (const char* name : {"HOME", "XDG_CONFIG_HOME"}) {
            const char* v = ::getenv(name);
            saved.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
        }
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    }
    ~HomeOverride() {
        for (auto& [name, v] : saved) {
            if (v)
                ::setenv(name, v->c_str(), 1);
            else
                ::unsetenv(name);
        }
    }
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
};

TEST_F(BackupDialogTest, LoginInfoMakesTheDefaultFolderUnderDocuments) {
    HomeOverride home(dir);
    dialog->LoginInfo({{"IP", "dvr.example"},
                       {"PORT", "6000"},
                       {"ID", "a"},
                       {"PASS", "b"},
                       {"StartDate", std::to_string(kBegin)},
                       {"EndDate", std::to_string(kBegin + 60)}});
    const std::string expected = dir + "/Documents/ZAQ_client/Backup/dvr.example/2026-03-07";
    EXPECT_EQ(folder.text(), expected);
    EXPECT_TRUE(fs::is_directory(expected));
    EXPECT_EQ(dialog->m_port, 6000);
    EXPECT_EQ(end.dateValue(), kBegin + 60);
}

TEST(BackupFrameInterval, TimeStampStepsAreBounded) {
    struct Row {
        uint32_t previous, current;
        int64_t micros;
    };
    const Row rows[] = {
        {0, 3000, 33333},                   // 30 frames a second
        {0, 9000, 100000},                  // 10 frames a second
        {9000, 3000, 0},                    // a step back stands for no time
        {0xFFFFF000u, 0x00000BB8u, 78844},  // the 32-bit clock wraps forward
        {0, 90000u * 3600, 60000000},       // an hour's jump counts as one minute
    };
    for (const Row& r : rows) {
        EXPECT_EQ(BackupDialog::frameIntervalMicros(r.previous, r.current), r.micros)
            << r.previous << " -> " << r.current;
    }
}

// A dialog whose slot 0 has its files open, as after the DVR accepted the slot.
struct OpenSlotFixture : DialogFixture {
    void SetUp() override {
        DialogFixture::SetUp();
        dialog->m_islive[0] = KIND_BACKUP;
        tBACKUP_PARAM& p = dialog->m_backupParam[0];
        p.BackupFileName1 = dir + "/a.avi";
        p.BackupFileName2 = dir + "/a.smi";
        ASSERT_TRUE(BackupOpenOutputFile(p, 0));
    }
    void TearDown() override {
        BackupCloseOutputFile(dialog->m_backupParam[0], 0);
        DialogFixture::TearDown();
    }
};

using BackupPayload = OpenSlotFixture;

TEST_F(BackupPayload, AudioBeyondTheBlockIsWrittenEarlyNotDropped) {
    const std::vector<uint8_t> packet(10000, 0x55);
    for (int i = 0; i < 3; ++i)
        dialog->appendAudio(0, packet.data(), packet.size());
    const tBACKUP_PARAM& p = dialog->m_backupParam[0];
    EXPECT_EQ(p.backup_AudioFrameCount, 1u);
    EXPECT_EQ(p.Data_Offset, kAviHeaderSize + 8 + 20000u);
    EXPECT_EQ(dialog->m_audioBuffer.end, 10000);
}

// An RTP packet of payload type 96 carrying `nal`.
tPAYLOAD_BUFFER packet(std::vector<uint8_t> nal) {
    tPAYLOAD_BUFFER b;
    b.size = uint32_t(12 + nal.size());
    b.payload.reset(new uint8_t[kPayloadAreaBytes]());
    b.payload[0] = 0x80;
    b.payload[1] = 96;
    std::copy(nal.begin(), nal.end(), b.payload.get() + 12);
    return b;
}

TEST_F(BackupPayload, KeyFrameWhoseSliceCameWholeInOnePacketIsWritten) {
    tPAYLOAD_BUFFER list[3];
    list[0] = packet({0x67, 0x42, 0x00, 0x1e, 0xab});  // SPS
    list[1] = packet({0x68, 0xce, 0x3c, 0x80});        // PPS
    std::vector<uint8_t> idr(200, 0x11);
    idr[0] = 0x65;
    list[2] = packet(idr);
    dialog->m_payload_type = 96;
    dialog->rtpPayloadTProc2(0, list, 3);
    const tBACKUP_PARAM& p = dialog->m_backupParam[0];
    EXPECT_EQ(p.backup_FrameCount, 1u);
    EXPECT_EQ(p.backup_IFrameCount, 1u);
    EXPECT_EQ(p.Data_Offset, kAviHeaderSize + 8 + (4 + 5) + (4 + 4) + (4 + 200u));
}

}  // namespace
}  // namespace zaq
