// RTP packets of H.264 / H.265 access units as FFmpeg's own RTP muxer writes them, for
// cross-checks and benchmarks of the payload assembler.
#pragma once

#include <cstdint>
#include <vector>

namespace zaq::test {

struct RtpPacketiseOptions {
    bool h265 = false;
    int payloadType = 96;
    uint16_t firstSeq = 1;
    int packetSize = 1400;  // largest RTP packet, header included
    int width = 320, height = 240;
};

// Packetises Annex B access units, one per frame at 30 frames/s. Each NAL unit is handed to
// the muxer on its own, so it leaves as one single-NAL packet or as fragmentation units and
// never inside an aggregation packet; the marker bit is kept only on the last packet of each
// access unit. Empty when the muxer cannot be set up.
std::vector<std::vector<uint8_t>> packetiseRtp(const std::vector<std::vector<uint8_t>>& units,
                                               const RtpPacketiseOptions& options);

// The NAL units of an Annex B byte stream, without their start codes.
std::vector<std::vector<uint8_t>> splitAnnexB(const std::vector<uint8_t>& stream);

}  // namespace zaq::test
