#include "backup/backup_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "protocol/log.h"
#include "protocol/wire.h"

namespace zaq {
namespace {

constexpr uint32_t kChunkHeader = 8;  // id, data length
constexpr uint32_t kIndexEntry = 16;  // id, flags, offset, length
constexpr uint32_t kIndexKeyFrame = 0x10;

constexpr uint32_t fourcc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

const char* const kSamiHeaderLines[] = {
    "<SAMI>",
    "<HEAD>",
    "<STYLE TYPE=\"Text/css\">",
    "<!--",
    "P {margin-left: 29pt; margin-right: 29pt; font-size: 14pt;",
    "text-align: center; font-family: tahoma, arial, sans-serif;",
    "font-weight: bold; color: white; background-color: black;}",
    ".SUBTTL {Name: 'Subtitles'; lang: en-US; SAMIType: CC;}",
    "#LargePrn { Name:Large Print; font-size:48pt; }",
    "#MiddlePrn { Name:Middle Print; font-size:24pt; }",
    "#SmallPrn { Name:Small Print; font-size:12pt; }-->",
    "</STYLE>",
    "</HEAD>",
    "<BODY>",
};
constexpr char kSamiFooter[] = "</BODY>\r\n</SAMI>\r\n";

std::string errText(int err) {
    char buf[128];
    return strerror_r(err, buf, sizeof buf);
}

void appendLE32(std::vector<uint8_t>& v, uint32_t x) {
    uint8_t b[4];
    wire::wrLE32(b, x);
    v.insert(v.end(), b, b + 4);
}

// Writes all n bytes at `off`, going on after short writes. 0, or the errno of the failure.
int writeAll(int fd, const uint8_t* data, size_t n, uint64_t off) {
    while (n > 0) {
        ssize_t w = ::pwrite(fd, data, n, off_t(off));
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (w == 0) return ENOSPC;  // no progress: the device takes nothing more
        data += w;
        n -= size_t(w);
        off += uint64_t(w);
    }
    return 0;
}

void markFailed(tBACKUP_PARAM& p, int slot, const char* what, int err) {
    if (p.file_error == 0) p.file_error = err;
    zlog("BackupDataWrite[%02d] %s failed: %s", slot, what, errText(err).c_str());
}

// One write to one of the slot's files. Nothing happens when the file is closed or the slot has
// failed; a failed write marks the slot failed.
bool fileWrite(tBACKUP_PARAM& p, int slot, tBACKUP_PARAM::FileHandle& f, const char* what,
               const uint8_t* data, size_t n, uint64_t off) {
    if (!f.isOpen() || p.file_error != 0) return false;
    if (int err = writeAll(f.fd, data, n, off)) {
        markFailed(p, slot, what, err);
        return false;
    }
    return true;
}

// Removes `name` when it exists and creates it empty, read-write. 0, or errno.
int createFile(const std::string& name, tBACKUP_PARAM::FileHandle& f) {
    if (::unlink(name.c_str()) != 0 && errno != ENOENT) return errno;
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    f = tBACKUP_PARAM::FileHandle(fd);
    return 0;
}

void closeFile(tBACKUP_PARAM& p, int slot, tBACKUP_PARAM::FileHandle& f, const char* what) {
    if (int err = f.release()) markFailed(p, slot, what, err);
}

// The 2048-byte header block: RIFF "AVI ", hdrl with the main header, a video and an audio
// stream list, JUNK up to 2036, and the head of the movi list.
struct HeaderField {
    uint16_t off;
    uint8_t size;
    uint32_t value;
};

void buildHeader(const tBACKUP_PARAM& p, std::array<uint8_t, kAviHeaderSize>& h) {
    const uint32_t handler = p.CODEC_Type == 1 ? fourcc("H265") : fourcc("H264");
    const uint32_t width = uint32_t(p.AVI_width), height = uint32_t(p.AVI_height);
    const uint32_t indexLength = uint32_t(p.DataFile1Index.size());
    const uint32_t frames = p.backup_FrameCount;
    const HeaderField fields[] = {
        {0, 4, fourcc("RIFF")},
        {4, 4, p.Data_Offset - 8},
        {8, 4, fourcc("AVI ")},
        {12, 4, fourcc("LIST")},
        {16, 4, 294},
        {20, 4, fourcc("hdrl")},
        // avih
        {24, 4, fourcc("avih")},
        {28, 4, 56},
        {32, 4, p.MicroSecPerFrame},
        {44, 4, 0x110},  // has index, interleaved
        {48, 4, frames},
        {56, 4, 2},  // streams
        {64, 4, width},
        {68, 4, height},
        // video stream: strh, strf (bitmap info)
        {88, 4, fourcc("LIST")},
        {92, 4, 116},
        {96, 4, fourcc("strl")},
        {100, 4, fourcc("strh")},
        {104, 4, 56},
        {108, 4, fourcc("vids")},
        {112, 4, handler},
        {128, 4, 1000000},   // scale
        {132, 4, 30000000},  // rate: 30 frames per second
        {140, 4, frames},
        {164, 4, fourcc("strf")},
        {168, 4, 40},
        {172, 4, 40},
        {176, 4, width},
        {180, 4, height},
        {184, 2, 1},   // planes
        {186, 2, 24},  // bits per pixel
        {188, 4, handler},
        {192, 4, width * height * 3},
        // audio stream: strh, strf (wave format, G.711 mu-law 8 kHz mono)
        {212, 4, fourcc("LIST")},
        {216, 4, 94},
        {220, 4, fourcc("strl")},
        {224, 4, fourcc("strh")},
        {228, 4, 56},
        {232, 4, fourcc("auds")},
        {252, 4, 1},       // scale
        {256, 4, 8000},    // rate
        {264, 4, 888000},  // length: fixed, not the audio written
        {272, 4, 0xFFFFFFFF},
        {276, 4, 1},  // sample size
        {288, 4, fourcc("strf")},
        {292, 4, 18},
        {296, 2, 7},  // mu-law
        {298, 2, 1},
        {300, 4, 8000},
        {304, 4, 8000},
        {308, 2, 1},
        {310, 2, 8},
        {314, 4, fourcc("JUNK")},
        {318, 4, 1714},
        {2036, 4, fourcc("LIST")},
        {2040, 4, p.Data_Offset - indexLength - 2052},  // from "movi" to the end of the last chunk
        {2044, 4, fourcc("movi")},
    };
    h.fill(0);
    for (const HeaderField& f : fields) {
        if (size_t(f.off) + f.size > h.size()) continue;
        if (f.size == 2)
            wire::wrLE16(h.data() + f.off, uint16_t(f.value));
        else
            wire::wrLE32(h.data() + f.off, f.value);
    }
}

// At most one line per chunk and per second of stream time, for the second reached.
void samiLine(tBACKUP_PARAM& p) {
    if (p.Total_Interval == 0) return;
    const uint32_t second = p.Total_Interval / 1000;
    if (second == p.SMI_Write_Second) return;
    p.SMI_Write_Second = second;
    if (!p.DataFile2.isOpen()) return;
    char line[128];
    int n = std::snprintf(line, sizeof line, "<SYNC Start=%04u><P Class=SUBTTL>%s\r\n",
                          second * 1000u, SamiTimeText(p.tv.tv_sec.load()).c_str());
    if (n <= 0 || size_t(n) >= sizeof line) return;
    p.DataFile2Index.insert(p.DataFile2Index.end(), line, line + n);
}

uint32_t writeChunk(tBACKUP_PARAM& p, int slot, uint32_t offset, uint32_t length, uint32_t flag,
                    uint32_t type, const uint8_t* data) {
    const bool video = type == BACKUP_TYPE_VIDEO;
    const uint32_t id = video ? fourcc("00db") : fourcc("01wb");
    if (video)
        ++p.backup_FrameCount;
    else
        ++p.backup_AudioFrameCount;
    if (p.DataFile1.isOpen()) {
        appendLE32(p.DataFile1Index, id);
        appendLE32(p.DataFile1Index, video && flag == 0 ? kIndexKeyFrame : 0);
        appendLE32(p.DataFile1Index, offset);
        appendLE32(p.DataFile1Index, length);
    }
    uint8_t head[kChunkHeader];
    wire::wrLE32(head, id);
    wire::wrLE32(head + 4, length);
    fileWrite(p, slot, p.DataFile1, "chunk header", head, sizeof head, offset);
    samiLine(p);
    if (length > 0 && data)
        fileWrite(p, slot, p.DataFile1, "chunk data", data, length,
                  uint64_t(offset) + kChunkHeader);
    return offset + kChunkHeader + length;
}

uint32_t writeIndex(tBACKUP_PARAM& p, int slot, uint32_t offset) {
    const uint32_t indexLength = uint32_t(p.DataFile1Index.size());
    uint8_t head[kChunkHeader];
    wire::wrLE32(head, fourcc("idx1"));
    wire::wrLE32(head + 4, indexLength);
    if (fileWrite(p, slot, p.DataFile1, "index header", head, sizeof head, offset) &&
        indexLength > 0)
        fileWrite(p, slot, p.DataFile1, "index", p.DataFile1Index.data(), indexLength,
                  uint64_t(offset) + kChunkHeader);
    if (p.DataFile2.isOpen()) {
        p.DataFile2Index.insert(p.DataFile2Index.end(), kSamiFooter,
                                kSamiFooter + sizeof kSamiFooter - 1);
        fileWrite(p, slot, p.DataFile2, "subtitle body", p.DataFile2Index.data(),
                  p.DataFile2Index.size(), kSamiHeaderSize);
    }
    return offset + kChunkHeader + indexLength;
}

bool openFailed(tBACKUP_PARAM& p, int slot, const std::string& name, int err) {
    if (p.file_error == 0) p.file_error = err;
    zlog("BackupOpenOutputFile[%02d] %s: %s", slot, name.c_str(), errText(err).c_str());
    // Leave nothing half made behind: both files were created by this open (or not at all).
    const bool madeAvi = p.DataFile1.isOpen(), madeSami = p.DataFile2.isOpen();
    p.DataFile1.release();
    p.DataFile2.release();
    if (madeAvi) ::unlink(p.BackupFileName1.c_str());
    if (madeSami) ::unlink(p.BackupFileName2.c_str());
    p.DataFile1Index = {};
    p.DataFile2Index = {};
    return false;
}

}  // namespace

std::string SamiTimeText(int64_t sec) {
    const time_t t = time_t(sec);
    struct tm tm {};
    if (!localtime_r(&t, &tm)) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

bool BackupOpenOutputFile(tBACKUP_PARAM& p, int slot) {
    zlog("ch[%d] dls_time: %d, end_time: %d", slot, p.dls_time, p.end_time);
    p.file_error = 0;
    p.DataFile1.release();
    p.DataFile2.release();
    p.DataFile1Index = {};
    p.DataFile2Index = {};

    if (int err = createFile(p.BackupFileName1, p.DataFile1))
        return openFailed(p, slot, p.BackupFileName1, err);
    p.Data_Offset = 0;
    p.backup_AudioFrameCount = 0;
    p.Data_Offset = BackupDataWrite(p, slot, 0, kAviHeaderSize, 0, BACKUP_TYPE_HEADER, nullptr);
    if (p.file_error) return openFailed(p, slot, p.BackupFileName1, p.file_error);

    if (int err = createFile(p.BackupFileName2, p.DataFile2))
        return openFailed(p, slot, p.BackupFileName2, err);
    std::string header;
    for (const char* line : kSamiHeaderLines)
        (header += line) += "\r\n";
    if (!fileWrite(p, slot, p.DataFile2, "subtitle header",
                   reinterpret_cast<const uint8_t*>(header.data()), header.size(), 0))
        return openFailed(p, slot, p.BackupFileName2, p.file_error);
    return true;
}

uint32_t BackupDataWrite(tBACKUP_PARAM& p, int slot, uint32_t offset, uint32_t length,
                         uint32_t flag, uint32_t type, const uint8_t* data) {
    switch (type) {
        case BACKUP_TYPE_HEADER: {
            std::array<uint8_t, kAviHeaderSize> block{};
            if (flag == 0) {
                // The block is reserved as zeros at the start, whatever the offset says.
                fileWrite(p, slot, p.DataFile1, "header block", block.data(),
                          std::min<uint32_t>(length, kAviHeaderSize), 0);
                return length;
            }
            if (p.backup_FrameCount != 0 || p.backup_IFrameCount != 0) p.MicroSecPerFrame = 33333;
            buildHeader(p, block);
            fileWrite(p, slot, p.DataFile1, "header", block.data(), block.size(), 0);
            return 0;
        }
        case BACKUP_TYPE_VIDEO:
        case BACKUP_TYPE_AUDIO:
            return writeChunk(p, slot, offset, length, flag, type, data);
        case BACKUP_TYPE_INDEX:
            return writeIndex(p, slot, offset);
        default:
            if (!data) return offset;
            fileWrite(p, slot, p.DataFile1, "data", data, length, offset);
            return offset + length;
    }
}

bool BackupDataLengthCheck(tBACKUP_PARAM& p, int slot, uint32_t length, const BackupStopFn& stopDvr,
                           uint64_t maxSize) {
    // The file so far, its index so far and the index header; then the chunk with its header
    // and its index entry.
    const uint64_t kept =
        uint64_t(p.Data_Offset) +
        uint64_t(kIndexEntry) * (uint64_t(p.backup_FrameCount) + p.backup_AudioFrameCount) +
        kChunkHeader;
    const uint64_t chunk = uint64_t(length) + kChunkHeader + kIndexEntry;
    const bool failed = p.file_error != 0;
    if (!failed && kept + chunk < maxSize) return false;
    if (p.cmd != 0) {
        p.cmd = 0;
        if (stopDvr) stopDvr(slot);
        if (failed)
            zlog("BackupDataLengthCheck[%02d] file error: %s", slot, errText(p.file_error).c_str());
        else
            zlog("BackupDataLengthCheck AVI_FILE_MAX_SIZE [%u] [%u]", uint32_t(kept),
                 uint32_t(chunk));
    }
    return true;
}

void BackupCloseOutputFile(tBACKUP_PARAM& p, int slot) {
    zlog("BackupCloseOutputFile[%02d]", slot);
    // The buffers exist exactly while their files are open.
    const bool aviOpen = p.DataFile1.isOpen(), samiOpen = p.DataFile2.isOpen();
    if (aviOpen) {
        zlog("m_backupParam[%02d].DataFile1", slot);
        p.Data_Offset = BackupDataWrite(p, slot, p.Data_Offset, 0, 0, BACKUP_TYPE_INDEX, nullptr);
        BackupDataWrite(p, slot, p.Data_Offset, kAviHeaderSize, 1, BACKUP_TYPE_HEADER, nullptr);
        closeFile(p, slot, p.DataFile1, "close");
        zlog("m_backupParam[%02d].DataFile1Index", slot);
        p.DataFile1Index = {};
    }
    if (samiOpen) {
        zlog("m_backupParam[%02d].DataFile2", slot);
        closeFile(p, slot, p.DataFile2, "close");
        zlog("m_backupParam[%02d].DataFile2Index", slot);
        p.DataFile2Index = {};
    }
}

bool BackupDeleteFile(tBACKUP_PARAM& p, int slot) {
    bool removed = true;
    for (const std::string* name : {&p.BackupFileName1, &p.BackupFileName2}) {
        if (name->empty() || ::unlink(name->c_str()) == 0 || errno == ENOENT) continue;
        const int err = errno;
        zlog("BackupDeleteFile[%02d] %s: %s", slot, name->c_str(), errText(err).c_str());
        removed = false;
    }
    return removed;
}

}  // namespace zaq
