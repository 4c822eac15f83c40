// Backup files: AVI layout, index and header at close, subtitle lines, the size limit, and what
// happens when files cannot be created or written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "backup/backup_writer.h"
#include "protocol/wire.h"
#include "tests/support/test_support.h"

namespace zaq {
namespace {

namespace fs = std::filesystem;
using wire::rdLE16;
using wire::rdLE32;

constexpr int64_t kT0 = 1709800212;  // 2024-03-07 08:30:12 UTC
const char kSamiHeader[] =
    "<SAMI>\r\n<HEAD>\r\n<STYLE TYPE=\"Text/css\">\r\n<!--\r\n"
    "P {margin-left: 29pt; margin-right: 29pt; font-size: 14pt;\r\n"
    "text-align: center; font-family: tahoma, arial, sans-serif;\r\n"
    "font-weight: bold; color: white; background-color: black;}\r\n"
    ".SUBTTL {Name: 'Subtitles'; lang: en-US; SAMIType: CC;}\r\n"
    "#LargePrn { Name:Large Print; font-size:48pt; }\r\n"
    "#MiddlePrn { Name:Middle Print; font-size:24pt; }\r\n"
    "#SmallPrn { Name:Small Print; font-size:12pt; }-->\r\n"
    "</STYLE>\r\n</HEAD>\r\n<BODY>\r\n";
const char kSamiFooter[] = "</BODY>\r\n</SAMI>\r\n";

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
std::string readText(const std::string& path) {
    auto b = readFile(path);
    return {b.begin(), b.end()};
}
std::string id4(const std::vector<uint8_t>& f, size_t off) {
    return off + 4 <= f.size() ? std::string(f.begin() + long(off), f.begin() + long(off) + 4) : "";
}
uint32_t le32(const std::vector<uint8_t>& f, size_t off) {
    return off + 4 <= f.size() ? rdLE32(f.data() + off) : 0xDEADBEEF;
}

// Sets TZ for one test and puts the old value back.
struct ZoneGuard {
    std::string old;
    bool had = false;
    explicit ZoneGuard(const char* zone) {
        if (const char* z = std::getenv("TZ")) old = z, had = true;
        set(zone);
    }
    ~ZoneGuard() {
        if (had)
            ::setenv("TZ", old.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    void set(const char* zone) {
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
};

class BackupWriter : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "backup_writer_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    // A slot's record with the session's file names in `folder` (default: the test folder).
    tBACKUP_PARAM record(int slot, const std::string& folder = {}) {
        tBACKUP_PARAM p;
        char name[64];
        std::snprintf(name, sizeof name, "/[CH%02d]08_30_00", slot + 1);
        p.BackupFileName1 = (folder.empty() ? dir : folder) + name + ".avi";
        p.BackupFileName2 = (folder.empty() ? dir : folder) + name + ".smi";
        p.connection_id = slot;
        p.cmd = 2;
        return p;
    }
    static void write(tBACKUP_PARAM& p, uint32_t type, uint32_t flag,
                      const std::vector<uint8_t>& d) {
        p.Data_Offset = BackupDataWrite(p, p.connection_id, p.Data_Offset, uint32_t(d.size()), flag,
                                        type, d.data());
    }
    std::vector<std::string> filesInDir() const {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        return names;
    }

    std::string dir;
    ZoneGuard zone{"UTC0"};
};

// --- AVI files: chunks, index and header as they are after the close step.

struct Chunk {
    uint32_t type, flag, length;
};
struct IndexEntry {
    const char* id;
    uint32_t flags, offset, length;
};
struct FileCase {
    const char* name;
    int32_t codec, width, height;
    std::vector<Chunk> chunks;
    uint32_t fileSize, riff, movi, frames, usPerFrame;
    std::vector<IndexEntry> index;
};

constexpr uint32_t V = BACKUP_TYPE_VIDEO, A = BACKUP_TYPE_AUDIO;

const FileCase kFileCases[] = {
    {"ClosedBeforeAnyChunk", 0, 0, 0, {}, 2056, 2048, 4, 0, 0, {}},
    {"OneKeyFrame",
     0,
     0,
     0,
     {{V, 0, 1000}},
     3080,
     3072,
     1012,
     1,
     33333,
     {{"00db", 0x10, 2048, 1000}}},
    // No pad byte after odd data: the next chunk starts at an odd offset.
    {"OddLengthsWithoutPadding",
     0,
     0,
     0,
     {{V, 0, 7}, {V, 1, 3}, {A, 1, 5}},
     2143,
     2135,
     43,
     2,
     33333,
     {{"00db", 0x10, 2048, 7}, {"00db", 0, 2063, 3}, {"01wb", 0, 2074, 5}}},
    // Empty video chunks (flag 2) are counted as frames, indexed with flags 0 and length 0.
    {"EmptyChunksCountAsFrames",
     0,
     0,
     0,
     {{V, 0, 10}, {V, 2, 0}, {V, 2, 0}},
     2138,
     2130,
     38,
     3,
     33333,
     {{"00db", 0x10, 2048, 10}, {"00db", 0, 2066, 0}, {"00db", 0, 2074, 0}}},
    // Audio alone does not set the frame period.
    {"AudioOnly", 0, 0, 0, {{A, 1, 24000}}, 26080, 26072, 24012, 0, 0, {{"01wb", 0, 2048, 24000}}},
    {"H265WithSize", 1, 704, 480, {{V, 0, 4}}, 2084, 2076, 16, 1, 33333, {{"00db", 0x10, 2048, 4}}},
};

class BackupAviFile : public BackupWriter, public ::testing::WithParamInterface<FileCase> {};

TEST_P(BackupAviFile, ChunksIndexAndHeaderAfterClose) {
    const FileCase& c = GetParam();
    tBACKUP_PARAM p = record(0);
    p.CODEC_Type = c.codec;
    p.AVI_width = c.width;
    p.AVI_height = c.height;
    ASSERT_TRUE(BackupOpenOutputFile(p, 0));
    EXPECT_EQ(p.Data_Offset, 2048u);
    std::vector<std::vector<uint8_t>> data;
    for (size_t i = 0; i < c.chunks.size(); ++i) {
        data.emplace_back(c.chunks[i].length, uint8_t(0xA0 + i));
        write(p, c.chunks[i].type, c.chunks[i].flag, data.back());
        if (c.chunks[i].type == V && c.chunks[i].flag == 0) ++p.backup_IFrameCount;
    }
    BackupCloseOutputFile(p, 0);
    EXPECT_EQ(p.Data_Offset, c.fileSize);
    EXPECT_FALSE(p.DataFile1.isOpen());
    EXPECT_EQ(p.file_error, 0);

    const auto f = readFile(p.BackupFileName1);
    ASSERT_EQ(f.size(), c.fileSize);
    EXPECT_EQ(le32(f, 4), c.riff);
    EXPECT_EQ(le32(f, 2040), c.movi);
    EXPECT_EQ(le32(f, 32), c.usPerFrame);
    EXPECT_EQ(le32(f, 48), c.frames);
    EXPECT_EQ(le32(f, 140), c.frames);
    for (size_t off : {64, 176})
        EXPECT_EQ(le32(f, off), uint32_t(c.width)) << off;
    for (size_t off : {68, 180})
        EXPECT_EQ(le32(f, off), uint32_t(c.height)) << off;
    EXPECT_EQ(le32(f, 192), uint32_t(c.width * c.height * 3));
    const char* handler = c.codec == 1 ? "H265" : "H264";
    EXPECT_EQ(id4(f, 112), handler);
    EXPECT_EQ(id4(f, 188), handler);

    const size_t idx = c.fileSize - 8 - 16 * c.index.size();
    EXPECT_EQ(id4(f, idx), "idx1");
    EXPECT_EQ(le32(f, idx + 4), 16 * c.index.size());
    for (size_t i = 0; i < c.index.size(); ++i) {
        SCOPED_TRACE(i);
        const IndexEntry& e = c.index[i];
        const size_t at = idx + 8 + 16 * i;
        EXPECT_EQ(id4(f, at), e.id);
        EXPECT_EQ(le32(f, at + 4), e.flags);
        EXPECT_EQ(le32(f, at + 8), e.offset);
        EXPECT_EQ(le32(f, at + 12), e.length);
        // The entry points at the chunk's id; its data follows the 8-byte chunk header.
        EXPECT_EQ(id4(f, e.offset), e.id);
        EXPECT_EQ(le32(f, e.offset + 4), e.length);
        ASSERT_LE(e.offset + 8 + e.length, f.size());
        EXPECT_TRUE(std::equal(data[i].begin(), data[i].end(), f.begin() + e.offset + 8));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, BackupAviFile, ::testing::ValuesIn(kFileCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BackupWriter, HeaderBlockLayout) {
    tBACKUP_PARAM p = record(0);
    ASSERT_TRUE(BackupOpenOutputFile(p, 0));
    write(p, V, 0, std::vector<uint8_t>(100, 1));
    BackupCloseOutputFile(p, 0);
    const auto f = readFile(p.BackupFileName1);
    ASSERT_GE(f.size(), 2048u);

    const std::pair<size_t, const char*> codes[] = {
        {0, "RIFF"},   {8, "AVI "},   {12, "LIST"},  {20, "hdrl"},  {24, "avih"},   {88, "LIST"},
        {96, "strl"},  {100, "strh"}, {108, "vids"}, {164, "strf"}, {212, "LIST"},  {220, "strl"},
        {224, "strh"}, {232, "auds"}, {288, "strf"}, {314, "JUNK"}, {2036, "LIST"}, {2044, "movi"},
    };
    for (auto [off, code] : codes)
        EXPECT_EQ(id4(f, off), code) << off;
    const std::pair<size_t, uint32_t> words[] = {
        {16, 294},      {28, 56},        {36, 0},       {40, 0},     {44, 0x110},       {52, 0},
        {56, 2},        {60, 0},         {92, 116},     {104, 56},   {116, 0},          {124, 0},
        {128, 1000000}, {132, 30000000}, {136, 0},      {144, 0},    {148, 0},          {152, 0},
        {168, 40},      {172, 40},       {216, 94},     {228, 56},   {236, 0},          {252, 1},
        {256, 8000},    {260, 0},        {264, 888000}, {268, 0},    {272, 0xFFFFFFFF}, {276, 1},
        {292, 18},      {300, 8000},     {304, 8000},   {318, 1714},
    };
    for (auto [off, value] : words)
        EXPECT_EQ(le32(f, off), value) << off;
    const std::pair<size_t, uint16_t> halves[] = {
        {120, 0}, {122, 0}, {184, 1}, {186, 24}, {244, 0}, {246, 0},
        {296, 7}, {298, 1}, {308, 1}, {310, 8},  {312, 0},
    };
    for (auto [off, value] : halves)
        EXPECT_EQ(rdLE16(f.data() + off), value) << off;
    // Reserved words, rectangles and the JUNK body are zero.
    for (size_t off : {72, 76, 80, 84, 156, 160, 196, 200, 204, 208, 240, 248, 280, 284})
        EXPECT_EQ(le32(f, off), 0u) << off;
    EXPECT_TRUE(std::all_of(f.begin() + 322, f.begin() + 2036, [](uint8_t b) { return b == 0; }));
}

TEST_F(BackupWriter, OpenReplacesExistingFiles) {
    tBACKUP_PARAM p = record(3);
    for (auto* name : {&p.BackupFileName1, &p.BackupFileName2})
        std::ofstream(*name, std::ios::binary) << std::string(10000, 'x');
    ASSERT_TRUE(BackupOpenOutputFile(p, 3));
    EXPECT_EQ(fs::file_size(p.BackupFileName1), 2048u);  // the zero header block only
    EXPECT_EQ(readText(p.BackupFileName2), kSamiHeader);
    BackupCloseOutputFile(p, 3);
    EXPECT_EQ(fs::file_size(p.BackupFileName1), 2056u);
    EXPECT_EQ(fs::file_size(p.BackupFileName2), 482u);
    EXPECT_EQ(fs::status(p.BackupFileName1).permissions() & fs::perms::owner_write,
              fs::perms::owner_write);
}

TEST_F(BackupWriter, ClosedSlotLeavesTheDiskAloneAndClosingAgainIsHarmless) {
    tBACKUP_PARAM p = record(2);
    ASSERT_TRUE(BackupOpenOutputFile(p, 2));
    write(p, V, 0, std::vector<uint8_t>(1000, 7));
    BackupCloseOutputFile(p, 2);
    const auto avi = readFile(p.BackupFileName1);
    const auto smi = readFile(p.BackupFileName2);

    test::LogCapture log;
    p.Total_Interval = 5000;
    write(p, V, 1, std::vector<uint8_t>(100, 9));
    EXPECT_EQ(p.Data_Offset, 3080u + 108u);  // offsets and counters still move
    EXPECT_EQ(p.backup_FrameCount, 2u);
    EXPECT_EQ(p.SMI_Write_Second, 5u);
    EXPECT_TRUE(p.DataFile1Index.empty());
    EXPECT_TRUE(p.DataFile2Index.empty());
    BackupCloseOutputFile(p, 2);
    EXPECT_EQ(readFile(p.BackupFileName1), avi);
    EXPECT_EQ(readFile(p.BackupFileName2), smi);
    EXPECT_TRUE(log.contains("BackupCloseOutputFile[02]"));
    EXPECT_FALSE(log.contains("DataFile1"));
}

// --- The size limit.

struct LimitCase {
    const char* name;
    uint64_t limit;
    uint32_t offset, frames, audio, length;
    int32_t cmd;
    bool full;
    int stops;
};

// projected = offset + 16 * (frames + audio) + 8 + length + 24
const LimitCase kLimitCases[] = {
    {"BelowLimitPasses", 100000, 90000, 300, 100, 3567, 2, false, 0},
    {"ReachingLimitRefusesAndStops", 100000, 90000, 300, 100, 3568, 2, true, 1},
    {"AlreadyStoppedRefusesQuietly", 100000, 90000, 300, 100, 3568, 0, true, 0},
    {"ProductLimitBelow", kAviFileMaxSize, 2147483600, 0, 0, 15, 2, false, 0},
    {"ProductLimitReached", kAviFileMaxSize, 2147483600, 0, 0, 16, 2, true, 1},
    // Must not wrap around in 32 bits and pass.
    {"HugeChunk", kAviFileMaxSize, 2048, 0, 0, 0xFFFFFFF0, 2, true, 1},
};

class BackupSizeLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(BackupSizeLimit, RefusesAtTheLimitAndStopsTheDvrOnce) {
    const LimitCase& c = GetParam();
    tBACKUP_PARAM p;
    p.Data_Offset = c.offset;
    p.backup_FrameCount = c.frames;
    p.backup_AudioFrameCount = c.audio;
    p.cmd = c.cmd;
    int stops = 0;
    int32_t cmdAtStop = -1;
    auto stop = [&](int slot) {
        EXPECT_EQ(slot, 5);
        cmdAtStop = p.cmd;
        ++stops;
    };
    EXPECT_EQ(BackupDataLengthCheck(p, 5, c.length, stop, c.limit), c.full);
    EXPECT_EQ(BackupDataLengthCheck(p, 5, c.length, stop, c.limit), c.full);  // again
    EXPECT_EQ(stops, c.stops);
    EXPECT_EQ(p.cmd, c.full ? 0 : c.cmd);
    if (c.stops) {
        EXPECT_EQ(cmdAtStop, 0);  // the stop request carries command byte 0
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, BackupSizeLimit, ::testing::ValuesIn(kLimitCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Subtitle files.

struct SamiStep {
    uint32_t type, flag, totalMs;
    int64_t tvSec;
};
struct SamiCase {
    const char* name;
    const char* zone;
    std::vector<SamiStep> steps;
    std::string body;
};

const SamiCase kSamiCases[] = {
    {"ClosedBeforeFirstSecond", "UTC0", {{V, 0, 0, kT0}, {V, 1, 999, kT0}}, ""},
    {"OneLinePerSecond",
     "UTC0",
     {{V, 0, 0, kT0}, {V, 1, 1000, kT0}, {V, 1, 1500, kT0 + 1}, {V, 1, 2033, kT0 + 2}},
     "<SYNC Start=1000><P Class=SUBTTL>2024-03-07 08:30:12\r\n"
     "<SYNC Start=2000><P Class=SUBTTL>2024-03-07 08:30:14\r\n"},
    {"JumpMakesOneLineForTheSecondReached",
     "UTC0",
     {{V, 0, 500, kT0}, {V, 1, 5400, kT0 + 5}},
     "<SYNC Start=5000><P Class=SUBTTL>2024-03-07 08:30:17\r\n"},
    {"EmptyAndAudioChunksMakeLinesToo",
     "UTC0",
     {{V, 0, 900, kT0}, {V, 2, 1033, kT0}, {A, 1, 2010, kT0 + 1}},
     "<SYNC Start=1000><P Class=SUBTTL>2024-03-07 08:30:12\r\n"
     "<SYNC Start=2000><P Class=SUBTTL>2024-03-07 08:30:13\r\n"},
    {"BeforeFirstReportAndAfterEndMarker",
     "UTC0",
     {{V, 0, 1000, -1}, {V, 1, 2000, -271981836}},
     "<SYNC Start=1000><P Class=SUBTTL>1969-12-31 23:59:59\r\n"
     "<SYNC Start=2000><P Class=SUBTTL>1961-05-20 01:29:24\r\n"},
    {"MachineZone",
     "JST-9",
     {{V, 0, 1000, kT0}},
     "<SYNC Start=1000><P Class=SUBTTL>2024-03-07 17:30:12\r\n"},
};

class BackupSamiFile : public BackupWriter, public ::testing::WithParamInterface<SamiCase> {};

TEST_P(BackupSamiFile, HeaderLinesAndFooter) {
    const SamiCase& c = GetParam();
    zone.set(c.zone);
    tBACKUP_PARAM p = record(0);
    ASSERT_TRUE(BackupOpenOutputFile(p, 0));
    EXPECT_EQ(readText(p.BackupFileName2), kSamiHeader);  // only the header until the close
    for (const SamiStep& s : c.steps) {
        p.Total_Interval = s.totalMs;
        p.tv.tv_sec = s.tvSec;
        write(p, s.type, s.flag, std::vector<uint8_t>(s.flag == 2 ? 0 : 10, 0));
    }
    BackupCloseOutputFile(p, 0);
    EXPECT_EQ(readText(p.BackupFileName2), kSamiHeader + c.body + kSamiFooter);
}

INSTANTIATE_TEST_SUITE_P(Cases, BackupSamiFile, ::testing::ValuesIn(kSamiCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BackupSamiText, FollowsTheMachineZone) {
    ZoneGuard zone("UTC0");
    const struct {
        int64_t sec;
        const char* utc;
        const char* jst;  // nine hours ahead
        const char* est;  // five hours behind
    } cases[] = {
        {kT0, "2024-03-07 08:30:12", "2024-03-07 17:30:12", "2024-03-07 03:30:12"},
        {-1, "1969-12-31 23:59:59", "1970-01-01 08:59:59", "1969-12-31 18:59:59"},
        {-271981836, "1961-05-20 01:29:24", "1961-05-20 10:29:24", "1961-05-19 20:29:24"},
    };
    for (const auto& c : cases) {
        zone.set("UTC0");
        EXPECT_EQ(SamiTimeText(c.sec), c.utc);
        zone.set("JST-9");
        EXPECT_EQ(SamiTimeText(c.sec), c.jst);
        zone.set("EST5");
        EXPECT_EQ(SamiTimeText(c.sec), c.est);
    }
}

// --- Failures: nothing may bring the process down, and finished files stay intact.

struct OpenFailCase {
    const char* name;
    const char* avi;  // relative to the test folder
    const char* smi;
};
const OpenFailCase kOpenFailCases[] = {
    {"MissingFolder", "missing/a.avi", "missing/a.smi"},
    {"SubtitleFolderMissing", "a.avi", "missing/a.smi"},  // the AVI made so far goes again
    {"NameIsAFolder", "taken/", "a.smi"},
};

class BackupOpenFailure : public BackupWriter,
                          public ::testing::WithParamInterface<OpenFailCase> {};

TEST_P(BackupOpenFailure, ReportsFalseAndCreatesNothing) {
    const OpenFailCase& c = GetParam();
    fs::create_directory(dir + "/taken");
    std::ofstream(dir + "/taken/keep") << "keep";
    tBACKUP_PARAM p = record(0);
    p.BackupFileName1 = dir + "/" + c.avi;
    p.BackupFileName2 = dir + "/" + c.smi;
    test::LogCapture log;
    EXPECT_FALSE(BackupOpenOutputFile(p, 0));
    EXPECT_NE(p.file_error, 0);
    EXPECT_FALSE(p.DataFile1.isOpen());
    EXPECT_FALSE(p.DataFile2.isOpen());
    EXPECT_TRUE(log.contains("BackupOpenOutputFile[00]"));
    EXPECT_EQ(filesInDir(), std::vector<std::string>{"taken"});

    // The caller goes on as with a full file: refused chunks, one stop request.
    int stops = 0;
    EXPECT_TRUE(BackupDataLengthCheck(p, 0, 100, [&](int) { ++stops; }));
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(p.cmd, 0);
    write(p, V, 0, std::vector<uint8_t>(100, 1));
    BackupCloseOutputFile(p, 0);
    EXPECT_EQ(filesInDir(), std::vector<std::string>{"taken"});
    EXPECT_EQ(readText(dir + "/taken/keep"), "keep");
}

INSTANTIATE_TEST_SUITE_P(Cases, BackupOpenFailure, ::testing::ValuesIn(kOpenFailCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Mounts a small tmpfs for the test's life; falls back to nothing when mounting is not allowed.
struct SmallDisk {
    std::string path;
    bool mounted = false;
    explicit SmallDisk(const std::string& at) : path(at) {
        fs::create_directory(path);
        mounted = ::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") == 0;
    }
    ~SmallDisk() {
        if (mounted) ::umount2(path.c_str(), MNT_DETACH);
    }
};

TEST_F(BackupWriter, FullDiskStopsOnlyThatSlot) {
    SmallDisk disk(dir + "/disk");
    tBACKUP_PARAM done = record(0, disk.path);
    ASSERT_TRUE(BackupOpenOutputFile(done, 0));
    done.Total_Interval = 1000;
    done.tv.tv_sec = kT0;
    write(done, V, 0, std::vector<uint8_t>(1000, 3));
    BackupCloseOutputFile(done, 0);
    const auto doneAvi = readFile(done.BackupFileName1);
    const auto doneSmi = readFile(done.BackupFileName2);
    ASSERT_EQ(doneAvi.size(), 3080u);

    tBACKUP_PARAM p = record(1, disk.path);
    ASSERT_TRUE(BackupOpenOutputFile(p, 1));
    if (!disk.mounted) {
        std::fprintf(stderr, "no tmpfs allowed here: the AVI descriptor becomes /dev/full\n");
        // No tmpfs here: make the AVI descriptor a device that is always full.
        int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(full, 0);
        ASSERT_GE(::dup2(full, p.DataFile1.fd), 0);
        ::close(full);
    }
    test::LogCapture log;
    int stops = 0;
    const std::vector<uint8_t> frame(8000, 0x41);
    int written = 0;
    for (; written < 40; ++written) {
        if (BackupDataLengthCheck(p, 1, uint32_t(frame.size()), [&](int) { ++stops; })) break;
        write(p, V, written == 0 ? 0 : 1, frame);
    }
    EXPECT_LT(written, 40);
    EXPECT_EQ(p.file_error, ENOSPC);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(p.cmd, 0);
    EXPECT_TRUE(log.contains("BackupDataWrite[01]"));

    // Nothing more reaches the disk, and the close only releases the files.
    struct stat before {};
    ASSERT_EQ(::fstat(p.DataFile1.fd, &before), 0);
    write(p, V, 1, frame);
    BackupCloseOutputFile(p, 1);
    EXPECT_FALSE(p.DataFile1.isOpen());
    EXPECT_FALSE(p.DataFile2.isOpen());
    if (disk.mounted) {
        EXPECT_EQ(fs::file_size(p.BackupFileName1), uint64_t(before.st_size));
    }

    EXPECT_EQ(readFile(done.BackupFileName1), doneAvi);
    EXPECT_EQ(readFile(done.BackupFileName2), doneSmi);
}

// --- Delete.

TEST_F(BackupWriter, DeleteRemovesWhatExists) {
    const struct {
        const char* name;
        bool makeAvi, makeSmi, aviIsFolder, result;
    } cases[] = {
        {"Both", true, true, false, true},
        {"None", false, false, false, true},
        {"OnlySubtitle", false, true, false, true},
        {"AviCannotGo", false, true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tBACKUP_PARAM p = record(0);
        if (c.makeAvi) std::ofstream(p.BackupFileName1) << "a";
        if (c.makeSmi) std::ofstream(p.BackupFileName2) << "s";
        if (c.aviIsFolder) {
            fs::create_directory(p.BackupFileName1);
            std::ofstream(p.BackupFileName1 + "/x") << "x";
        }
        EXPECT_EQ(BackupDeleteFile(p, 0), c.result);
        EXPECT_EQ(fs::exists(p.BackupFileName1), c.aviIsFolder);
        EXPECT_FALSE(fs::exists(p.BackupFileName2));
        fs::remove_all(p.BackupFileName1);
    }
}

// --- The record: reset releases the files.

TEST_F(BackupWriter, ResetClosesOpenFiles) {
    tBACKUP_PARAM p = record(0);
    ASSERT_TRUE(BackupOpenOutputFile(p, 0));
    const int fd = p.DataFile1.fd;
    p.tv.tv_sec = 5;
    p = {};
    EXPECT_FALSE(p.DataFile1.isOpen());
    EXPECT_EQ(p.tv.tv_sec.load(), 0);
    EXPECT_TRUE(p.BackupFileName1.empty());
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // the descriptor is closed, not leaked
}

}  // namespace
}  // namespace zaq
