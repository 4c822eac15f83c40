// Ring records of the per-slot stream buffers: a 40-byte header (_STREAM_MGR as laid out in
// memory: eight 32-bit fields and a pointer) followed by `size` payload bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zaq {

struct _STREAM_MGR {
    int32_t type = 0;  // 1 audio, 0 video; no reader uses it
    int32_t size = 0;
    int32_t channel = 0;
    int32_t reserved4 = 0, reserved5 = 0;
    int32_t codec = 0;  // 1 H.265, 0 H.264
    int32_t reserved7 = 0, reserved8 = 0;
    void* reserved_ptr = nullptr;
};

constexpr size_t kStreamMgrBytes = 40;
constexpr size_t kVideoBufferBytes = 32u << 20;
constexpr size_t kVideoOverflowBytes = 24u << 20;
constexpr size_t kAudioBufferBytes = 2048;
constexpr size_t kAudioOverflowBytes = 1536;
constexpr size_t kBackupAudioBytes = 24000;

void writeStreamMgr(uint8_t* dst, const _STREAM_MGR& mgr);
_STREAM_MGR readStreamMgr(const uint8_t* src);

struct _STREAM_BUFFER {
    int32_t begin = 0;  // offset of the oldest unread record
    int32_t end = 0;    // offset just past the newest record
    void* lpMemReserved = nullptr;
    int32_t bufCount = 0;
    std::unique_ptr<uint8_t[]> buffer;  // null until the first store
    size_t capacity = 0;

    void release() {
        begin = end = 0;
        buffer.reset();
        capacity = 0;
    }
};

}  // namespace zaq
