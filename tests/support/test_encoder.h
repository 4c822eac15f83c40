// Short synthetic H.264 / H.265 streams for tests, encoded with libavcodec: one access unit per
// frame in Annex B form, parameter sets before every key frame, no B-frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zaq::test {

struct EncodedStream {
    std::vector<std::vector<uint8_t>> units;  // one access unit per frame
    std::vector<bool> key;
    int width = 0, height = 0;
};

// codec "libx264" or "libx265"; gop = frames per key frame. Empty when the encoder is missing.
EncodedStream encodeTestStream(const std::string& codec, int width, int height, int frames,
                               int gop = 10);

}  // namespace zaq::test
