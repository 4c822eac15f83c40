// A full 16-channel DVR through the whole live pipeline, window left out: every channel's
// pictures reach its view at the size the DVR sends, with the title drawn in yellow on the
// selected channel and in white on the others.
#include <gtest/gtest.h>

#include <QImage>

#include "media/FrameRenderer.h"
#include "sim/dvr_sim.h"
#include "tests/support/session_harness.h"

namespace zaq {
namespace {

using namespace std::chrono_literals;
using sim::DvrSim;
using sim::SimOptions;
using sim::VideoCodec;
using test::SessionHarness;

// Pixels of exactly `colour` in the top `rows` rows.
int countColour(const QImage& image, QRgb colour, int rows) {
    int n = 0;
    for (int y = 0; y < std::min(rows, image.height()); ++y) {
        for (int x = 0; x < image.width(); ++x)
            n += image.pixel(x, y) == colour;
    }
    return n;
}

struct PictureCase {
    const char* name;
    VideoCodec codec;
};

class LivePictures : public ::testing::TestWithParam<PictureCase> {};

TEST_P(LivePictures, EveryChannelShowsTitledPicturesAtTheSentSize) {
    SimOptions o;
    o.port = 0;
    o.max_channel = 16;
    o.codec = GetParam().codec;
    o.width = 320;
    o.height = 240;
    o.fps = 10;
    o.gop = 10;
    o.loop_frames = 10;
    o.titles = {{3, "Gate"}, {7, "Loading bay"}};
    DvrSim sim(o);
    ASSERT_TRUE(sim.start());
    std::string why;
    ASSERT_TRUE(sim.waitForMedia(120s, &why)) << why;

    SessionHarness h;
    h.connect("127.0.0.1", sim.port());
    ASSERT_TRUE(h.waitUp(60s)) << h.status();
    const int selected = 7;
    // Pictures may already flow: only those handed over after the selection count.
    int before[16];
    for (int slot = 0; slot < 16; ++slot)
        before[slot] = h.dialog->captureView(slot)->images();
    h.dialog->setSelectChannel(selected);
    auto pictured = [&](int slot) {
        const CaptureView* v = h.dialog->captureView(slot);
        return v->images() > before[slot] + 2 && !v->showingLogo() &&
               v->lastImage().size() == QSize(320, 240);
    };
    ASSERT_TRUE(h.runUntil(
        [&] {
            for (int slot = 0; slot < 16; ++slot)
                if (!pictured(slot)) return false;
            return true;
        },
        60s));

    const QRgb yellow = qRgb(255, 255, 0), white = qRgb(255, 255, 255);
    for (int slot = 0; slot < 16; ++slot) {
        SCOPED_TRACE(slot);
        const QImage image = h.dialog->captureView(slot)->lastImage();
        // The title's height at this pane's width, and its margin.
        const int band = FrameRenderer::titleSize(320, h.dialog->paneWidth(slot)) + 8;
        EXPECT_EQ(image.size(), QSize(320, 240));
        if (slot == selected) {
            EXPECT_GT(countColour(image, yellow, band), 30);
        } else {
            EXPECT_GT(countColour(image, white, band), 30);
            EXPECT_EQ(countColour(image, yellow, band), 0);
        }
    }
    EXPECT_EQ(h.dialog->m_payload_type, GetParam().codec == VideoCodec::H265 ? 98 : 96);
    h.disconnect();
    EXPECT_TRUE(h.waitIdle());
}

INSTANTIATE_TEST_SUITE_P(Codecs, LivePictures,
                         ::testing::Values(PictureCase{"H264", VideoCodec::H264},
                                           PictureCase{"H265", VideoCodec::H265}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zaq
