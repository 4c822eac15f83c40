// The backup files of one channel slot: an AVI file (2048-byte header block written at close,
// chunks appended, idx1 index at the end) and the SAMI subtitle file beside it. All state lives
// in the slot's tBACKUP_PARAM. Every function runs on the backup receiver thread, in order per
// slot; `slot` only names the slot in log lines and in the stop callback.
//
// A file that cannot be created or written never ends the process: the open reports false, a
// failed write sets file_error and leaves the slot's files alone from then on (the size check
// then refuses every chunk, so the caller reports "Data Full" and the DVR is stopped).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "protocol/records.h"

namespace zaq {

// The AVI file must stay below this size, index included.
constexpr uint64_t kAviFileMaxSize = 2147483648ull;
constexpr uint32_t kAviHeaderSize = 2048;
constexpr uint32_t kSamiHeaderSize = 464;

// `type` of BackupDataWrite. Any other value writes `length` bytes of `data` at `offset` as they
// are.
enum BackupWriteType : uint32_t {
    BACKUP_TYPE_HEADER = 0,  // flag 0: reserve `length` (<= 2048) zero bytes at 0; else the header
    BACKUP_TYPE_VIDEO = 1,   // flag 0: key frame
    BACKUP_TYPE_AUDIO = 2,
    BACKUP_TYPE_INDEX = 4,  // idx1 behind the last chunk, and the SAMI body and footer
};

// Replaces both files of the slot (removes, creates with mode 0644), reserves the header block
// (Data_Offset 2048), writes the SAMI header and makes the two empty buffers. False, with
// file_error set and no file left behind, when either file cannot be created or written.
bool BackupOpenOutputFile(tBACKUP_PARAM& p, int slot);

// Writes one piece at `offset` (callers pass Data_Offset and store the result back into it)
// and returns the offset behind it: a chunk gives offset + 8 + length, the index offset + 8 +
// index length. On a slot whose files are closed or failed the disk is left alone; chunks are
// still counted and move the subtitle second, and the returned offsets still grow. `data` may
// be null (no bytes are written for it).
uint32_t BackupDataWrite(tBACKUP_PARAM& p, int slot, uint32_t offset, uint32_t length,
                         uint32_t flag, uint32_t type, const uint8_t* data);

// Asks the DVR to stop sending the slot; called after cmd has been set to 0.
using BackupStopFn = std::function<void(int slot)>;

// True when a chunk of `length` data bytes must not be written: the file would reach
// `maxSize` with its index, or the slot's files have failed. The first refusal of a running
// slot sets cmd to 0 and calls `stopDvr` once.
bool BackupDataLengthCheck(tBACKUP_PARAM& p, int slot, uint32_t length, const BackupStopFn& stopDvr,
                           uint64_t maxSize = kAviFileMaxSize);

// Finishes the files of an open slot (index, header, SAMI body and footer), closes them and
// releases the buffers. Harmless on a closed slot.
void BackupCloseOutputFile(tBACKUP_PARAM& p, int slot);

// Removes both files where they exist. False when one exists but cannot be removed.
bool BackupDeleteFile(tBACKUP_PARAM& p, int slot);

// "yyyy-MM-dd HH:mm:ss" of Unix seconds in the machine's time zone; empty when out of range.
// Thread-safe (it does not re-read TZ: a process that changes it calls tzset()).
std::string SamiTimeText(int64_t sec);

}  // namespace zaq
