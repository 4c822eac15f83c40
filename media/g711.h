// G.711 mu-law expansion to 16-bit linear PCM.
#pragma once

#include <cstdint>

namespace zaq {

inline int16_t muLawToLinear(uint8_t u) {
    u = uint8_t(~u);
    int t = ((u & 0x0F) << 3) + 0x84;  // mantissa with the bias
    t <<= (u & 0x70) >> 4;             // exponent
    return int16_t((u & 0x80) ? (0x84 - t) : (t - 0x84));
}

}  // namespace zaq
