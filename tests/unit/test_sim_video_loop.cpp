// The simulator's picture loops: which NAL units an access unit may hold, what the encoders
// really give (checked kind by kind and decoded again by FFmpeg), the shared cache's budget,
// and text drawn at the picture's edges.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <initializer_list>

#include "sim/loop_cache.h"
#include "sim/synthetic_picture.h"
#include "sim/video_loop.h"

namespace zaq::sim {
namespace {

// An Annex B stream of NAL units given by type and length (4-byte start codes).
std::vector<uint8_t> annexB(VideoCodec codec, std::initializer_list<int> types) {
    std::vector<uint8_t> out;
    for (int type : types) {
        out.insert(out.end(), {0, 0, 0, 1});
        if (codec == VideoCodec::H265) {
            out.insert(out.end(), {uint8_t(type << 1), 0x01, 0xAF, 0x10});
        } else {
            out.insert(out.end(), {uint8_t(0x60 | type), 0x88, 0x84});
        }
    }
    return out;
}

std::vector<int> typesOf(VideoCodec codec, const VideoFrame& f) {
    std::vector<int> out;
    for (const NalUnit& n : f.nals)
        out.push_back(nalUnitType(codec, n[0]));
    return out;
}

TEST(SimVideoLoopTest, AccessUnitsHoldOnlyWhatTheDvrSends) {
    constexpr VideoCodec H264 = VideoCodec::H264, H265 = VideoCodec::H265;
    struct Case {
        const char* name;
        VideoCodec codec;
        std::vector<uint8_t> unit;
        bool ok;
        bool key;
        std::vector<int> kept;
    };
    const Case cases[] = {
        {"H.264 key frame, SEI dropped", H264, annexB(H264, {7, 8, 6, 5}), true, true, {7, 8, 5}},
        {"H.264 P frame", H264, annexB(H264, {1}), true, false, {1}},
        {"H.264 access unit delimiter", H264, annexB(H264, {9, 1}), false, false, {}},
        {"H.264 two slices", H264, annexB(H264, {1, 1}), false, false, {}},
        {"H.264 key frame without PPS", H264, annexB(H264, {7, 5}), false, false, {}},
        {"H.264 SPS before a P frame", H264, annexB(H264, {7, 8, 1}), false, false, {}},
        {"H.264 parameter set after the slice", H264, annexB(H264, {7, 5, 8}), false, false, {}},
        {"H.265 key frame, SEI dropped",
         H265,
         annexB(H265, {32, 33, 34, 39, 19, 40}),
         true,
         true,
         {32, 33, 34, 19}},
        {"H.265 IDR_N_LP sent as IDR_W_RADL",
         H265,
         annexB(H265, {32, 33, 34, 20}),
         true,
         true,
         {32, 33, 34, 19}},
        {"H.265 TRAIL_R", H265, annexB(H265, {1}), true, false, {1}},
        {"H.265 TRAIL_N", H265, annexB(H265, {0}), false, false, {}},
        {"H.265 CRA", H265, annexB(H265, {32, 33, 34, 21}), false, false, {}},
        {"H.265 key frame without VPS", H265, annexB(H265, {33, 34, 19}), false, false, {}},
        {"H.265 access unit delimiter", H265, annexB(H265, {35, 1}), false, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VideoFrame f;
        std::string why;
        ASSERT_EQ(takeAccessUnit(c.codec, c.unit.data(), c.unit.size(), f, &why), c.ok) << why;
        if (!c.ok) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        EXPECT_EQ(f.key, c.key);
        EXPECT_EQ(typesOf(c.codec, f), c.kept);
    }
}

TEST(SimVideoLoopTest, StartCodesOfThreeAndFourBytesAndTrailingZeros) {
    const std::vector<uint8_t> stream = {0,    0, 1, 0x67, 0x42, 0, 0,    0, 1, 0x68,
                                         0xCE, 0, 0, 1,    0x65, 0, 0x88, 0, 0};
    EXPECT_EQ(splitAnnexB(stream.data(), stream.size()),
              (std::vector<NalUnit>{{0x67, 0x42}, {0x68, 0xCE}, {0x65, 0, 0x88}}));
}

// Decodes the loop's frames in order (`rounds` times, as the simulator replays it) with FFmpeg's
// decoder; returns the pictures decoded, all of which must have the loop's size.
int decodeLoop(const VideoLoop& loop, int rounds) {
    const AVCodec* codec = avcodec_find_decoder(
        loop.spec.codec == VideoCodec::H265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->err_recognition = AV_EF_EXPLODE;
    EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* pic = av_frame_alloc();
    int pictures = 0;
    auto drain = [&] {
        while (avcodec_receive_frame(ctx, pic) == 0) {
            EXPECT_EQ(pic->width, loop.spec.width);
            EXPECT_EQ(pic->height, loop.spec.height);
            EXPECT_FALSE(pic->decode_error_flags);
            ++pictures;
        }
    };
    for (int r = 0; r < rounds; ++r) {
        for (const VideoFrame& f : loop.frames) {
            std::vector<uint8_t> au;
            for (const NalUnit& n : f.nals) {
                au.insert(au.end(), {0, 0, 0, 1});
                au.insert(au.end(), n.begin(), n.end());
            }
            av_new_packet(pkt, int(au.size()));
            std::copy(au.begin(), au.end(), pkt->data);
            EXPECT_EQ(avcodec_send_packet(ctx, pkt), 0);
            av_packet_unref(pkt);
            drain();
        }
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
    av_frame_free(&pic);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return pictures;
}

class EncodedLoop : public ::testing::TestWithParam<VideoCodec> {};

TEST_P(EncodedLoop, HoldsOnlyTheAcceptedKindsAndDecodesAcrossTheWrap) {
    VideoLoopSpec spec;
    spec.codec = GetParam();
    spec.width = 176;
    spec.height = 144;
    spec.gop = 5;
    spec.frames = 10;
    spec.bitrate_kbps = 300;
    spec.channel = 2;
    std::string why;
    auto loop = encodeVideoLoop(spec, nullptr, &why);
    ASSERT_TRUE(loop) << why;
    ASSERT_EQ(loop->frames.size(), 10u);

    const bool h265 = spec.codec == VideoCodec::H265;
    const std::vector<int> key =
        h265 ? std::vector<int>{32, 33, 34, 19} : std::vector<int>{7, 8, 5};
    const std::vector<int> other = {1};  // TRAIL_R, non-IDR slice
    for (size_t i = 0; i < loop->frames.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(loop->frames[i].key, i % 5 == 0);
        EXPECT_EQ(typesOf(spec.codec, loop->frames[i]), loop->frames[i].key ? key : other);
    }
    EXPECT_EQ(decodeLoop(*loop, 2), 20);
}

INSTANTIATE_TEST_SUITE_P(Codecs, EncodedLoop, ::testing::Values(VideoCodec::H264, VideoCodec::H265),
                         [](const auto& info) {
                             return std::string(info.param == VideoCodec::H265 ? "H265" : "H264");
                         });

TEST(SimVideoLoopTest, CancelledEncodingGivesNoLoop) {
    std::atomic<bool> cancel{true};
    std::string why;
    EXPECT_FALSE(encodeVideoLoop(VideoLoopSpec{}, &cancel, &why));
    EXPECT_EQ(why, "cancelled");
}

std::shared_ptr<const VideoLoop> loopOf(int channel, size_t bytes) {
    auto loop = std::make_shared<VideoLoop>();
    loop->spec.channel = channel;
    loop->bytes = bytes;
    return loop;
}

TEST(SimLoopCacheTest, KeepsTheMostRecentlyUsedWithinItsBudget) {
    LoopCache cache(1000);
    VideoLoopSpec spec;
    cache.put(loopOf(0, 400));
    cache.put(loopOf(1, 400));
    spec.channel = 0;
    auto kept = cache.find(spec);  // channel 0 is now the most recent
    ASSERT_TRUE(kept);
    cache.put(loopOf(2, 400));  // over budget: the oldest, channel 1, goes
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_EQ(cache.bytes(), 800u);
    spec.channel = 1;
    EXPECT_FALSE(cache.find(spec));
    cache.put(loopOf(0, 300));  // replaces its namesake
    EXPECT_EQ(cache.bytes(), 700u);
    cache.put(loopOf(3, 1001));  // larger than the whole budget: not kept, nothing evicted
    EXPECT_EQ(cache.size(), 2u);
    // A loop in use outlives its eviction.
    cache.put(loopOf(4, 1000));
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(kept->bytes, 400u);
}

TEST(SyntheticPictureTest, TextLeavingThePlaneIsClipped) {
    // Planes exactly as large as the picture: a write past them is caught by the sanitizers.
    constexpr int W = 20, H = 10;
    std::vector<uint8_t> y(W * H, 0), u(W * H / 4), v(W * H / 4);
    PicturePlanes p{y.data(), u.data(), v.data(), W, W / 2, W / 2, W, H};
    drawText(p, -5, -3, 3, "08", 200);
    drawText(p, 15, 5, 3, "CH", 200);
    // Font pixels are 3 x 3 squares; rows and columns that start off the plane are cut.
    EXPECT_EQ(y[7], 200);           // '0', row 1, column 4
    EXPECT_EQ(y[13], 200);          // '8', row 1, column 0
    EXPECT_EQ(y[5 * W + 19], 200);  // 'C', row 0, cut at the right edge
    EXPECT_EQ(y[W - 1], 0);
    EXPECT_EQ(y[W * H - 1], 0);
    drawSyntheticPicture(p, 15, 59, 60, 30);
    drawSyntheticPicture(PicturePlanes{y.data(), u.data(), v.data(), W, W / 2, W / 2, 16, 2}, 0, 0,
                         1, 1);
}

}  // namespace
}  // namespace zaq::sim
