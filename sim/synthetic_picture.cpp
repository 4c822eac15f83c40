#include "sim/synthetic_picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace zaq::sim {

namespace {

struct Glyph {
    char c;
    uint8_t rows[kGlyphHeight];  // bit 4 is the leftmost of five columns
};

// clang-format off
constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
};
// clang-format on

const Glyph* findGlyph(char c) {
    for (const Glyph& g : kFont) {
        if (g.c == c) return &g;
    }
    return nullptr;
}

void fillLuma(const PicturePlanes& p, int x0, int y0, int w, int h, uint8_t luma) {
    const int x1 = std::min(p.width, x0 + w), y1 = std::min(p.height, y0 + h);
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    if (x0 >= x1) return;
    for (int y = y0; y < y1; ++y) {
        std::memset(p.y + size_t(y) * size_t(p.y_stride) + size_t(x0), luma, size_t(x1 - x0));
    }
}

}  // namespace

int drawText(const PicturePlanes& p, int x, int y, int scale, std::string_view text, uint8_t luma) {
    int pen = x;
    for (char c : text) {
        if (const Glyph* g = findGlyph(c)) {
            for (int row = 0; row < kGlyphHeight; ++row) {
                for (int col = 0; col < 5; ++col) {
                    if (g->rows[row] & (0x10 >> col)) {
                        fillLuma(p, pen + col * scale, y + row * scale, scale, scale, luma);
                    }
                }
            }
        }
        pen += 6 * scale;
    }
    return pen - x;
}

void drawSyntheticPicture(const PicturePlanes& p, int channel, int frame, int loop_frames,
                          int fps) {
    // Backdrop: diagonal bands, kept dark so the text stands out, drifting by one band (256
    // pixels) per loop.
    const int period = std::max(1, loop_frames);
    const int drift = frame * 256 / period;
    for (int y = 0; y < p.height; ++y) {
        uint8_t* row = p.y + size_t(y) * size_t(p.y_stride);
        for (int x = 0; x < p.width; ++x) {
            row[x] = uint8_t(48 + (((x + y + drift) >> 2) & 63));
        }
    }
    // A tint per channel, around the colour wheel.
    const double angle = channel * 2.0 * M_PI / 16.0;
    const uint8_t u = uint8_t(128 + std::lround(48 * std::cos(angle)));
    const uint8_t v = uint8_t(128 + std::lround(48 * std::sin(angle)));
    for (int y = 0; y < p.height / 2; ++y) {
        std::memset(p.u + size_t(y) * size_t(p.u_stride), u, size_t(p.width / 2));
        std::memset(p.v + size_t(y) * size_t(p.v_stride), v, size_t(p.width / 2));
    }

    // A bar sweeping the bottom strip.
    const int bar = std::max(2, p.width / 32);
    const int bar_x = (frame % period) * (p.width - bar) / period;
    fillLuma(p, bar_x, p.height - p.height / 6, bar, p.height / 8, 220);

    char name[16], clock[16];
    std::snprintf(name, sizeof name, "CH %02d", (channel + 1) % 100);
    const int seconds = frame / std::max(1, fps);
    std::snprintf(clock, sizeof clock, "%02d:%02d.%02d", (seconds / 60) % 100, seconds % 60,
                  frame % std::max(1, fps) % 100);

    const int scale = std::max(1, p.height / 60);
    const int line = (kGlyphHeight + 3) * scale;
    const int box_w = textWidth(int(std::strlen(clock)), scale) + 2 * scale;
    const int box_x = (p.width - box_w) / 2;
    const int box_y = p.height / 2 - line;
    fillLuma(p, box_x, box_y, box_w, 2 * line + scale, 16);
    const int name_w = textWidth(int(std::strlen(name)), scale);
    drawText(p, (p.width - name_w) / 2 + scale, box_y + 2 * scale, scale, name, 235);
    drawText(p, box_x + 2 * scale, box_y + line + 2 * scale, scale, clock, 235);
}

}  // namespace zaq::sim
