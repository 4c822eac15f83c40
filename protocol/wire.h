// Explicit little/big-endian field helpers. Wire and file fields are always read and written
// through these, at fixed offsets, never by copying structs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zaq::wire {

inline uint16_t rdLE16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t rdLE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint16_t rdBE16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t rdBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void wrLE16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void wrLE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void wrBE16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void wrBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Reads byte `off` of a received block of `len` bytes; bytes beyond what arrived read as 0.
inline uint8_t byteAt(const uint8_t* p, size_t len, size_t off) { return off < len ? p[off] : 0; }
inline uint16_t le16At(const uint8_t* p, size_t len, size_t off) {
    return uint16_t(byteAt(p, len, off) | (byteAt(p, len, off + 1) << 8));
}
inline uint32_t le32At(const uint8_t* p, size_t len, size_t off) {
    return uint32_t(le16At(p, len, off)) | (uint32_t(le16At(p, len, off + 2)) << 16);
}

}  // namespace zaq::wire
