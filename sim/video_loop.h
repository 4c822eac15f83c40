// A camera's pictures, encoded once and replayed: a loop of access units that starts with a key
// frame, each unit split into its NAL units and held to the kinds a DVR of this family sends:
//
//   H.264: SPS 7, PPS 8, IDR slice 5, non-IDR slice 1
//   H.265: VPS 32, SPS 33, PPS 34, IDR_W_RADL 19, TRAIL_R 1
//
// one slice per frame, parameter sets before every key frame and nowhere else. SEI units the
// encoder adds are dropped; any other kind fails the loop, so a change of encoder behaviour
// shows up at once instead of as a client that silently drops everything.
#pragma once

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_options.h"

namespace zaq::sim {

struct VideoLoopSpec {
    VideoCodec codec = VideoCodec::H264;
    int width = 704, height = 480;
    int fps = 30;
    int gop = 30;  // frames from one key frame to the next
    int bitrate_kbps = 1000;
    int frames = 60;  // length of the loop
    int channel = 0;  // whose number the picture shows

    auto operator<=>(const VideoLoopSpec&) const = default;
};

// The loop that channel `channel` of a DVR set up by `options` streams at `fps`.
VideoLoopSpec loopSpecFor(const SimOptions& options, int fps, int channel);

using NalUnit = std::vector<uint8_t>;  // header byte(s) first, no start code

struct VideoFrame {
    std::vector<NalUnit> nals;  // in decoding order
    bool key = false;
};

struct VideoLoop {
    VideoLoopSpec spec;
    std::vector<VideoFrame> frames;  // frames[0] is a key frame
    size_t bytes = 0;                // NAL bytes of all frames
};

// Encodes the loop with libx264 or libx265. Null when the encoder is missing or fails, when it
// produced a NAL kind outside the table above (*error names frame and kind), or when *cancel
// turned true between two frames. Any thread; encoders of different loops run in parallel.
std::shared_ptr<const VideoLoop> encodeVideoLoop(const VideoLoopSpec& spec,
                                                 const std::atomic<bool>* cancel,
                                                 std::string* error);

// The NAL units of an Annex B byte stream, without start codes and trailing zero bytes.
std::vector<NalUnit> splitAnnexB(const uint8_t* data, size_t size);

// The nal_unit_type of a NAL header: five low bits of the first byte (H.264), six bits after
// the forbidden bit (H.265).
int nalUnitType(VideoCodec codec, uint8_t first_byte);

// Checks one encoded access unit against the rules above and keeps what goes on the wire.
// False with *error saying what was wrong.
bool takeAccessUnit(VideoCodec codec, const uint8_t* data, size_t size, VideoFrame& out,
                    std::string* error);

}  // namespace zaq::sim
