// Per-slot request and reply records of a session. They live in memory only: the composer and
// the readers move their fields to and from the wire one by one (protocol/wire.h).
#pragma once

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace zaq {

constexpr int kMaxSlots = 16;
constexpr int kTextSize = 260;  // fixed text fields: 259 characters and a terminating zero
constexpr int kErrorSize = 256;
constexpr int kMaxControls = 4;

// Last-command codes (m_last_command).
enum LastCommand : int32_t {
    CMD_NONE = 0,
    CMD_OPTIONS = 1,
    CMD_DESCRIBE = 2,
    CMD_SETUP = 8,
    CMD_GET_PARAMETER = 16,
    CMD_PLAY = 128,
};

// Session kinds (m_islive).
enum SessionKind : int32_t { KIND_PLAYBACK = 0, KIND_LIVE = 1, KIND_BACKUP = 2 };
const char* sessionKindWord(int kind);  // "Playback", "Live", "Backup"; "" out of range

// Command codes of the command block.
enum CommandCode : uint8_t {
    ASK_LOGIN = 16,
    REPLY_LOGIN = 17,
    ASK_KEEPALIVE = 19,
    REPLY_KEEPALIVE = 20,
    ASK_LIVETRANSFER = 22,
    REPLY_LIVETRANSFER = 24,
    ASK_SEARCHTRANSFER = 25,
    MSG_RTSP_SEARCHTRANSFER = 32,
    ASK_LOGDATE = 33,
    MSG_RTSP_STORLOGDATE = 34,
    ASK_LOGINFO = 35,
    MSG_RTSP_STORLOGINFO = 36,
    ASK_PTZCONTROL = 37,
    MSG_RTSP_PTZCONTROL = 38,
    ASK_BACKUP = 39,
    REPLY_BACKUP = 40,
    ASK_ALARMOUT = 41,
    REPLY_ALARMOUT = 48,
    ASK_AUDIOTRANSFER = 49,
    REPLY_AUDIOTRANSFER = 50,
    ASK_CHANNELNAME = 55,
    REPLY_CHANNELNAME = 56,
};

constexpr int kBlockHeader = 16;   // "ZAQC", length, code, byte 9, byte 10, byte 11, session
constexpr int kTimeLineSize = 750;

struct tLOGIN_PARAM {
    uint8_t device_type, oem_type, max_channel, user_rights;
    uint8_t max_relay, max_sensor, max_audio, reserved1;
    uint16_t web_port;
};

// The DVR's status record, 20 bytes on the wire in this order.
struct tKEEP_ALIVE {
    int32_t live_time;
    uint8_t video, select, sensor, motion, audio, alarm, record, covert;
    int32_t hdd_space;
    uint8_t livestreamtype, sslHigh, sslLow, reserved3;
};

struct tLIVE_PARAM {
    uint8_t video, audio, reserved2, reserved3;
};

// Seconds and microseconds; the receive threads write the DVR clock here and the main thread
// reads it, hence atomics.
struct tTIMEVAL {
    std::atomic<int64_t> tv_sec{0};
    std::atomic<int32_t> tv_usec{0};
    void clear() {
        tv_sec = 0;
        tv_usec = 0;
    }
};

struct tSEARCH_PARAM {
    int32_t begin_time = 0, end_time = 0;
    uint8_t cmd = 0, reserved1 = 0, avi_backup = 0, reserved2 = 0;
    tTIMEVAL tv;  // not sent: the DVR clock of the slot
    void clear() {
        begin_time = end_time = 0;
        cmd = reserved1 = avi_backup = reserved2 = 0;
        tv.clear();
    }
};

struct tSEARCH_PARAM2 {
    int32_t begin_time, end_time;
    uint8_t cmd, is_seek, is_iframe_only, reserved;
    uint32_t channel_mask;
};

struct tLOGDATE_PARAM {
    int32_t month;
    int32_t day_mask;
};

struct tLOGINFO_PARAM {
    int32_t day = 0, dls_begin = 0, dls_end = 0;
    std::vector<uint8_t> time_line;  // kTimeLineSize bytes once the first time line arrived
    void clear() {
        day = dls_begin = dls_end = 0;
        time_line.clear();
        time_line.shrink_to_fit();
    }
};

struct tPTZ_PARAM {
    int8_t cmd, preset_num;
    uint8_t reserved1[2];
};

// A channel's backup record. The composer sends begin_time, end_time, connection_id and the low
// byte of cmd; the rest belongs to the backup session and its file writers
// (backup/backup_writer.h), which run on the backup receiver thread. The record owns its two
// files: `= {}`, reset() and destruction close them without finishing them (finish a running
// backup with BackupCloseOutputFile first).
struct tBACKUP_PARAM {
    // An owned POSIX file descriptor, -1 when closed. Move-only.
    struct FileHandle {
        int fd = -1;
        FileHandle() = default;
        explicit FileHandle(int f) : fd(f) {}
        FileHandle(const FileHandle&) = delete;
        FileHandle& operator=(const FileHandle&) = delete;
        FileHandle(FileHandle&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
        FileHandle& operator=(FileHandle&& o) noexcept {
            if (this != &o) {
                release();
                fd = std::exchange(o.fd, -1);
            }
            return *this;
        }
        ~FileHandle() { release(); }
        bool isOpen() const { return fd >= 0; }
        // Closes the descriptor; 0, or the errno of a failed close.
        int release() {
            if (fd < 0) return 0;
            int rc = ::close(std::exchange(fd, -1));
            return rc == 0 ? 0 : errno;
        }
    };
    // Seconds and microseconds. tv is written by the receiver and read by the sender, hence
    // atomics; copying loads and stores each value so the record stays assignable.
    struct TimeVal {
        std::atomic<int64_t> tv_sec{0};
        std::atomic<int32_t> tv_usec{0};
        TimeVal() = default;
        TimeVal(const TimeVal& o) : tv_sec(o.tv_sec.load()), tv_usec(o.tv_usec.load()) {}
        TimeVal& operator=(const TimeVal& o) {
            tv_sec = o.tv_sec.load();
            tv_usec = o.tv_usec.load();
            return *this;
        }
    };
    struct PlainTime {
        int64_t tv_sec = 0;
        int32_t tv_usec = 0;
    };

    int32_t begin_time = 0, end_time = 0;
    int32_t dls_type = 0, dls_time = 0;  // not used; dls_time is logged at open
    int32_t cmd = 0;  // 0 idle, stopped or finished; 1 waiting for the DVR; 2 running (files open)
    int32_t connection_id = 0;
    int32_t backup_type = 0;
    void* audio = nullptr;                 // not used
    TimeVal tv;                            // recording time of the data that arrived last
    PlainTime VideoFrameInterval[2] = {};  // not used
    std::string BackupFileName1;           // the AVI file
    std::string BackupFileName2;           // the SAMI file
    FileHandle DataFile1;                  // the AVI file, read-write
    FileHandle DataFile2;                  // the SAMI file
    std::vector<uint8_t> DataFile1Index;   // idx1 entries so far; exists while DataFile1 is open
    std::vector<uint8_t> DataFile2Index;   // SAMI lines so far; exists while DataFile2 is open
    uint32_t Data_Offset = 0;              // offset of the next chunk = current AVI length
    uint32_t backup_IFrameCount = 0;
    uint32_t backup_FrameCount = 0;  // video chunks, empty ones included
    uint32_t backup_AudioFrameCount = 0;
    uint32_t MicroSecPerFrame = 0;
    uint32_t Total_Interval = 0;    // ms of stream time since the slot's first frame
    uint32_t Total_I_Interval = 0;  // ms of stream time not yet matched by video chunks
    uint32_t SMI_Write_Second = 0;  // second of Total_Interval of the last SAMI line
    int32_t CODEC_Type = 0;         // 1 H.265, 0 H.264
    int32_t AVI_width = 0, AVI_height = 0;
    int32_t total_time = 0;  // end_time - begin_time
    double backup_IndicatorValue = 0;
    // errno of the first failed create, write or close of the slot's files, 0 while all is well.
    // Once set, the slot's files get no more writes and the size check refuses every chunk.
    int32_t file_error = 0;

    void reset() { *this = tBACKUP_PARAM{}; }
};

struct tALARM_PARAM {
    uint8_t channel, onoff, reserved[2];
};

struct SESSION_DESCRIPTION_PROTOCOL {
    int32_t cur_field;
    int32_t field_count;
    char control[kMaxControls][kTextSize];
};

// Copies src into a fixed text field, cutting it to the field size; always terminated.
template <size_t N>
void copyText(char (&dst)[N], const char* src) {
    std::strncpy(dst, src ? src : "", N - 1);
    dst[N - 1] = 0;
}

}  // namespace zaq
