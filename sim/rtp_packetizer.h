// RTP and RTCP as a DVR of this family puts them on its TCP connection: each packet behind the
// 4-byte interleaved prefix ('$', channel, big-endian length).
//
//   RTP header (12 bytes, no CSRC, no extension):
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |V=2|P|X| CC=0  |M|     PT      |        sequence number        |
//   |                           timestamp                           |
//   |                             SSRC                              |
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//
// A video access unit goes out one NAL unit per packet while the NAL unit fits the payload
// limit, and in fragmentation units beyond it (FU-A for H.264, FU for H.265); the marker bit
// is set on the last packet of the unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/sim_options.h"
#include "sim/video_loop.h"

namespace zaq::sim {

constexpr size_t kInterleavedPrefix = 4;
constexpr size_t kRtpHeaderSize = 12;
constexpr size_t kSenderReportSize = 28;  // RTCP SR without report blocks
constexpr uint32_t kNtpUnixOffset = 2208988800u;

using MediaUnit = std::vector<uint8_t>;  // one interleaved unit, prefix included

// One RTP stream of a connection and its numbering.
struct RtpTrack {
    uint8_t interleaved = 0;  // channel byte of the RTP units; RTCP goes on the next one
    uint8_t payload_type = 0;
    uint32_t ssrc = 0;
    uint16_t next_seq = 0;
    // Fault: after every `gap_every` packets one sequence number is left out (0 = never).
    uint32_t gap_every = 0;
    uint32_t since_gap = 0;
    uint64_t gaps = 0;  // sequence numbers left out so far
    // Packets and payload octets made so far, as the sender report tells them.
    uint32_t packets = 0;
    uint32_t octets = 0;
};

// One RTP packet of `head` followed by `data` as its payload. Takes the track's next sequence
// number.
MediaUnit rtpUnit(RtpTrack& track, bool marker, uint32_t timestamp, const uint8_t* head,
                  size_t head_size, const uint8_t* data, size_t data_size);

// Appends the packets of one access unit to `out`. `payload_limit` bounds the payload of every
// packet (RTP header not counted) and must exceed the fragmentation header (3 bytes).
void packetizeAccessUnit(VideoCodec codec, const std::vector<NalUnit>& nals, uint32_t timestamp,
                         size_t payload_limit, RtpTrack& track, std::vector<MediaUnit>& out);

// A sender report of `track` on channel track.interleaved + 1. `ntp` is the 64-bit NTP time
// (seconds since 1900 in the high word, the fraction in the low word); `timestamp` is the RTP
// time of the same instant.
MediaUnit senderReport(const RtpTrack& track, uint64_t ntp, uint32_t timestamp);

}  // namespace zaq::sim
