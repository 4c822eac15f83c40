// The picture a simulated camera shows: a moving backdrop tinted per channel, the channel number
// and a running clock drawn with a small built-in bitmap font, and a bar that sweeps across, so
// that every frame differs from the one before and a frozen or torn picture is easy to spot.
#pragma once

#include <cstdint>
#include <string_view>

namespace zaq::sim {

// One 4:2:0 picture in three planes; the chroma planes have half the width and height.
struct PicturePlanes {
    uint8_t* y;
    uint8_t* u;
    uint8_t* v;
    int y_stride, u_stride, v_stride;
    int width, height;  // even
};

// Draws frame `frame` of a loop of `loop_frames` of channel `channel` (0-based, shown 1-based
// as "CH 01") at `fps` frames a second. The clock reads the frame's time since the start of
// the loop; the bar sweeps across once per loop, so the loop joins without a jump.
void drawSyntheticPicture(const PicturePlanes& p, int channel, int frame, int loop_frames, int fps);

// Draws `text` into the luma plane with its top left corner at (x, y), each font pixel a
// scale x scale square of `luma`; glyphs are 5 x 7 on a 6 x 8 cell. Characters outside the
// font ('0' to '9', 'C', 'H', ':', '.', '-', ' ') are left blank; whatever leaves the plane is
// clipped. Returns the width drawn in pixels.
int drawText(const PicturePlanes& p, int x, int y, int scale, std::string_view text, uint8_t luma);

// The pixel width drawText gives `chars` characters at `scale`.
constexpr int textWidth(int chars, int scale) {
    return chars * 6 * scale;
}
constexpr int kGlyphHeight = 7;

}  // namespace zaq::sim
