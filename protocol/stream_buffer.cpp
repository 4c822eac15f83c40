// Per-slot video rings, the audio staging buffer and the key-frame rule. Every operation holds
// the controller's buffer lock for its whole duration.
#include <cstring>
#include <new>

#include "protocol/StreamObject.h"
#include "protocol/log.h"
#include "protocol/wire.h"

namespace zaq {

void writeStreamMgr(uint8_t* dst, const _STREAM_MGR& m) {
    const int32_t fields[8] = {m.type,   m.size,      m.channel,   m.reserved4,
                               m.reserved5, m.codec, m.reserved7, m.reserved8};
    for (int i = 0; i < 8; ++i) wire::wrLE32(dst + 4 * i, uint32_t(fields[i]));
    std::memset(dst + 32, 0, 8);  // the pointer field is always null in a stored record
}

_STREAM_MGR readStreamMgr(const uint8_t* src) {
    _STREAM_MGR m;
    int32_t* fields[8] = {&m.type,      &m.size,  &m.channel,   &m.reserved4,
                          &m.reserved5, &m.codec, &m.reserved7, &m.reserved8};
    for (int i = 0; i < 8; ++i) *fields[i] = int32_t(wire::rdLE32(src + 4 * i));
    return m;
}

namespace {

// Storage of `bytes`, filled with `fill` unless it is negative. The video blocks are left
// unfilled: bytes are only ever read after they were written, and untouched pages cost no
// memory (16 filled 32 MiB blocks would hold 512 MiB from the first frame on).
bool allocate(_STREAM_BUFFER& b, size_t bytes, int fill) {
    b.buffer.reset(new (std::nothrow) uint8_t[bytes]);
    if (!b.buffer) return false;
    if (fill >= 0) std::memset(b.buffer.get(), fill, bytes);
    b.capacity = bytes;
    b.begin = b.end = 0;
    return true;
}

// Moves the unread records to the start of the storage.
void compact(_STREAM_BUFFER& b) {
    if (b.begin == 0) return;
    std::memmove(b.buffer.get(), b.buffer.get() + b.begin, size_t(b.end - b.begin));
    b.end -= b.begin;
    b.begin = 0;
}

}  // namespace

void StreamObject::setVideoData(const _STREAM_MGR& mgr, const uint8_t* payload) {
    int slot = mgr.channel;
    if (slot < 0 || slot >= kMaxSlots || mgr.size < 0) return;
    std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
    _STREAM_BUFFER& b = m_stBuffer[slot];
    if (!b.buffer) {
        zlog("m_stBuffer[ %02d ]->buffer Malloc", slot);
        if (!allocate(b, kVideoBufferBytes, -1)) return;
    }
    size_t need = kStreamMgrBytes + size_t(mgr.size);
    // Records taken out only advance `begin`; the storage is compacted when room runs out, so
    // a take never has to move the whole queue.
    if (size_t(b.end) + need > b.capacity) compact(b);
    if (size_t(b.end) + need > b.capacity) {
        b.begin = b.end = 0;
        m_bIFrame[slot] = 1;
        if (need > b.capacity) return;
    }
    writeStreamMgr(b.buffer.get() + b.end, mgr);
    std::memcpy(b.buffer.get() + b.end + kStreamMgrBytes, payload, size_t(mgr.size));
    b.end += int32_t(need);
    ++m_framesStored[slot];
    if (size_t(b.end - b.begin) > kVideoOverflowBytes) {
        b.begin = b.end = 0;
        m_bIFrame[slot] = 1;
    }
}

int StreamObject::getVideoData(_STREAM_MGR& mgr, std::vector<uint8_t>& dst) {
    int slot = mgr.channel;
    if (slot < 0 || slot >= kMaxSlots) return -1;
    std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
    _STREAM_BUFFER& b = m_stBuffer[slot];
    if (!b.buffer || b.begin >= b.end) return -1;
    mgr = readStreamMgr(b.buffer.get() + b.begin);
    size_t size = size_t(mgr.size);
    if (dst.size() < size) dst.resize(size);
    std::memcpy(dst.data(), b.buffer.get() + b.begin + kStreamMgrBytes, size);
    b.begin += int32_t(kStreamMgrBytes + size);
    if (b.begin >= b.end) b.begin = b.end = 0;
    if (m_bIFrame[slot] == 1) {
        int key = 0;
        getCodecType(dst.data(), size, mgr.codec, &key);
        if (!key) return -1;
        m_bIFrame[slot] = 0;
    }
    return 0;
}

int StreamObject::getCodecType(const uint8_t* d, size_t n, int codec, int* key) {
    if (n >= 5 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1) {
        uint8_t b = d[4];
        // A decoder may only start at a parameter set of the stream's own codec: H.264 SEI or
        // SPS (types 6, 7), H.265 VPS or SPS (types 32, 33).
        bool paramSet = codec == 1 ? (b & 0x7C) == 0x40 : (b & 0x1E) == 6;
        *key = paramSet ? 1 : 0;
        return 2;
    }
    if (n >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 1) {
        switch (d[3]) {
            case 0xB0: *key = 1; return 0;
            case 0xB2:
            case 0xB3:
            case 0xB6: *key = 0; return 0;
            default: break;
        }
    }
    return -1;
}

void StreamObject::setAudioData(const _STREAM_MGR& mgr, const uint8_t* payload) {
    int slot = mgr.channel;
    if (slot < 0 || slot >= kMaxSlots || mgr.size < 0) return;
    std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
    _STREAM_BUFFER& b = m_audioBuffer;
    bool backup = m_islive[slot] == KIND_BACKUP;
    if (!b.buffer) {
        if (backup) zlog("audioBuffer CLEAR[%02d]", slot);
        if (!allocate(b, backup ? kBackupAudioBytes : kAudioBufferBytes, backup ? 0x7F : 0)) {
            return;
        }
    }
    size_t size = size_t(mgr.size);
    if (backup) {
        // The backup writer empties this block in time; what would pass its end is dropped.
        size_t room = b.capacity - size_t(b.end);
        size_t n = size < room ? size : room;
        std::memcpy(b.buffer.get() + b.end, payload, n);
        b.end += int32_t(n);
        if (n < size) zlog("audioBuffer full[%02d]: %zu bytes dropped", slot, size - n);
        return;
    }
    if (size_t(b.end) + kStreamMgrBytes + size <= b.capacity) {
        writeStreamMgr(b.buffer.get() + b.end, mgr);
        std::memcpy(b.buffer.get() + b.end + kStreamMgrBytes, payload, size);
        b.end += int32_t(kStreamMgrBytes + size);
    }
    if (size_t(b.end) > kAudioOverflowBytes) b.begin = b.end = 0;
    playAudioData(payload, int(size));
}

void StreamObject::releaseStreamBuffers() {
    std::lock_guard<std::recursive_mutex> lock(m_bufferLock);
    for (auto& b : m_stBuffer) b.release();
    m_audioBuffer.release();
}

}  // namespace zaq
