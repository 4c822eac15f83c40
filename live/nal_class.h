// NAL unit classes of both codecs and the fragmentation-unit helpers shared by the receive
// loops and the payload assembler.
#pragma once

#include <cstdint>

namespace zaq {

enum NalClass : int {
    NAL_NONE = 0,
    NAL_VPS = 1,
    NAL_SPS = 2,
    NAL_PPS = 3,
    NAL_SEI = 4,
    NAL_KEY_SLICE = 5,
    NAL_SLICE = 6,
    NAL_AGGREGATION = 7,
    NAL_FRAGMENT = 8,
};

// H.264: the five type bits of the NAL header byte.
inline int nalClassH264(uint8_t b) {
    switch (b & 0x1F) {
        case 7: return NAL_SPS;
        case 8: return NAL_PPS;
        case 6: return NAL_SEI;
        case 5: return NAL_KEY_SLICE;    // IDR
        case 1: return NAL_SLICE;        // non-IDR
        case 24: return NAL_AGGREGATION; // STAP-A
        case 28: return NAL_FRAGMENT;    // FU-A
        default: return NAL_NONE;        // e.g. 9, access unit delimiter
    }
}

// H.265: the six type bits (1 to 6) of the first NAL header byte.
inline int nalClassH265(uint8_t b) {
    switch ((b & 0x7E) >> 1) {
        case 32: return NAL_VPS;
        case 33: return NAL_SPS;
        case 34: return NAL_PPS;
        case 39: return NAL_SEI;         // prefix SEI
        case 19: return NAL_KEY_SLICE;   // IDR_W_RADL
        case 1: return NAL_SLICE;        // TRAIL_R
        case 49: return NAL_FRAGMENT;    // FU
        default: return NAL_NONE;        // e.g. 0 TRAIL_N, 20 IDR_N_LP, 21 CRA
    }
}

// By RTP payload type: 98 H.265, 96 H.264, anything else class 0.
inline int nalClass(uint8_t payloadType, uint8_t b) {
    return payloadType == 98 ? nalClassH265(b) : payloadType == 96 ? nalClassH264(b) : NAL_NONE;
}

//  H.264 FU-A:  +---------------+---------------+
//               |F|NRI|  Type=28 |S|E|R|  Type   |  then fragment data
//               +---------------+---------------+
//  H.265 FU:    +---------------+---------------+---------------+
//               |F| Type=49 |LayerId|TID|S|E| FuType  |  then fragment data
//               +---------------+---------------+---------------+
constexpr int kFuHeaderH264 = 2;
constexpr int kFuHeaderH265 = 3;
constexpr uint8_t kFuStart = 0x80;
constexpr uint8_t kFuEnd = 0x40;

inline uint8_t fuHeaderH264(const uint8_t* payload) { return payload[1]; }
inline uint8_t fuHeaderH265(const uint8_t* payload) { return payload[2]; }

// Writes the NAL header a fragmented unit had; returns the bytes written (1).
inline int rebuildNalHeaderH264(const uint8_t* payload, uint8_t* out) {
    out[0] = uint8_t((payload[1] & 0x1F) | (payload[0] & 0x60));
    return 1;
}

// Writes the 2-byte H.265 NAL header (layer 0, temporal id 1); returns 2.
inline int rebuildNalHeaderH265(const uint8_t* payload, uint8_t* out) {
    out[0] = uint8_t((payload[2] << 1) & 0x7E);
    out[1] = 0x01;
    return 2;
}

}  // namespace zaq
