// The sound of a simulated camera: a steady tone per channel, as G.711 mu-law.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zaq::sim {

constexpr int kAudioRate = 8000;           // samples a second
constexpr size_t kAudioPacketBytes = 160;  // 20 ms of mu-law per RTP packet

// The G.711 mu-law byte of a 16-bit linear sample.
uint8_t linearToMuLaw(int16_t sample);

// One second of a sine tone of `hz` at `amplitude` (of full scale) in mu-law. A whole number of
// hertz makes the second loop without a click.
std::vector<uint8_t> muLawTone(int hz, double amplitude = 0.25);

// The tone of a channel: 300 Hz for channel 0, 50 Hz higher for each further one.
inline int toneHz(int channel) {
    return 300 + 50 * channel;
}

}  // namespace zaq::sim
