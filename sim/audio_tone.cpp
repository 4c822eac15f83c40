#include "sim/audio_tone.h"

#include <cmath>

namespace zaq::sim {

uint8_t linearToMuLaw(int16_t sample) {
    constexpr int kBias = 0x84;
    constexpr int kClip = 32635;
    int s = sample;
    const uint8_t sign = s < 0 ? 0x80 : 0;
    if (s < 0) s = -s;
    if (s > kClip) s = kClip;
    s += kBias;
    // The segment is the position of the highest set bit above the seven the mantissa skips.
    int exponent = 7;
    while (exponent > 0 && !(s & (0x80 << exponent)))
        --exponent;
    const int mantissa = (s >> (exponent + 3)) & 0x0F;
    return uint8_t(~(sign | (exponent << 4) | mantissa));
}

std::vector<uint8_t> muLawTone(int hz, double amplitude) {
    std::vector<uint8_t> out(kAudioRate);
    for (int n = 0; n < kAudioRate; ++n) {
        double x = amplitude * 32767.0 * std::sin(2.0 * M_PI * hz * n / kAudioRate);
        out[size_t(n)] = linearToMuLaw(int16_t(std::lround(x)));
    }
    return out;
}

}  // namespace zaq::sim
