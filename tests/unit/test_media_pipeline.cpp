// Decoder workers, the renderer's titles and the audio output, on a session fed directly.
#include <gtest/gtest.h>

#include <SDL.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "media/AudioOutput.h"
#include "media/ChannelView.h"
#include "media/DecoderWorkers.h"
#include "media/FrameRenderer.h"
#include "tests/support/test_encoder.h"
#include "tests/support/test_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace zaq {
namespace {

using namespace std::chrono_literals;

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5s) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return pred();
}

struct Pipeline {
    StreamObject session;
    CaptureView views[kMaxSlots];
    std::atomic<int64_t> now{1000};
    DecoderWorkers decoders{session, [this](int s) { return &views[s]; }, [this] { return now.load(); }};

    void feed(int slot, const test::EncodedStream& s, int codec, size_t from = 0, size_t to = SIZE_MAX) {
        for (size_t i = from; i < std::min(to, s.units.size()); ++i) {
            _STREAM_MGR m;
            m.channel = slot;
            m.codec = codec;
            m.size = int32_t(s.units[i].size());
            session.setVideoData(m, s.units[i].data());
        }
    }
};

struct CodecCase {
    const char* encoder;
    int codec;
};

class DecoderWorker : public ::testing::TestWithParam<CodecCase> {};

TEST_P(DecoderWorker, DecodesAtTheSentSizeAndFollowsAResolutionChange) {
    auto small = test::encodeTestStream(GetParam().encoder, 320, 240, 20);
    auto large = test::encodeTestStream(GetParam().encoder, 640, 360, 20);
    ASSERT_FALSE(small.units.empty());
    Pipeline p;
    p.decoders.startDecoderThreads(2);
    p.feed(1, small, GetParam().codec);
    ASSERT_TRUE(waitFor([&] { return p.decoders.framesDecoded[1] == 20; }));
    EXPECT_EQ(p.decoders.cur_width[1], 320);
    EXPECT_EQ(p.decoders.cur_height[1], 240);
    EXPECT_EQ(p.session.channelName(1), "CH-2");
    // The same worker takes a stream of another size without a restart.
    p.feed(1, large, GetParam().codec);
    ASSERT_TRUE(waitFor([&] { return p.decoders.framesDecoded[1] == 40; }));
    EXPECT_EQ(p.decoders.cur_width[1], 640);
    SlotPicture& pic = p.decoders.picture(1);
    std::lock_guard<std::mutex> lock(pic.lock);
    EXPECT_EQ(pic.width, 640);
    EXPECT_EQ(pic.rgb.size(), size_t(640 * 3 * 360));
}

INSTANTIATE_TEST_SUITE_P(Codecs, DecoderWorker,
                         ::testing::Values(CodecCase{"libx264", 0}, CodecCase{"libx265", 1}),
                         [](const auto& i) { return std::string(i.param.encoder); });

TEST(DecoderWorkerLogo, SilentChannelFallsBackAfter31SecondsNeverIfItNeverSent) {
    auto s = test::encodeTestStream("libx264", 160, 120, 5);
    Pipeline p;
    p.decoders.startDecoderThreads(2);
    p.feed(0, s, 0);
    ASSERT_TRUE(waitFor([&] { return p.decoders.framesDecoded[0] == 5; }));
    p.now += 30;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(p.views[0].logos(), 0);  // 30 s are not enough
    p.now += 1;
    ASSERT_TRUE(waitFor([&] { return p.views[0].logos() == 1; }));
    EXPECT_EQ(p.decoders.cur_width[0], 0);
    p.now += 31;  // and again every 31 s of silence
    ASSERT_TRUE(waitFor([&] { return p.views[0].logos() == 2; }));
    EXPECT_EQ(p.views[1].logos(), 0);  // slot 1 never sent anything
}

TEST(DecoderWorkerStop, SixteenWorkersStopPromptlyAndEndOnSessionFailure) {
    Pipeline p;
    p.decoders.startDecoderThreads(16);
    std::this_thread::sleep_for(50ms);
    p.decoders.stopDecoderThreads(16);

    test::LogCapture log;
    p.decoders.startDecoderThreads(3);
    p.session.m_last_errno = -2;
    ASSERT_TRUE(waitFor([&] { return log.count("decoder thread Cancelled") == 3; }));
    p.decoders.stopDecoderThreads(16);  // still joins the ended workers
    EXPECT_EQ(log.count("decoderTProc end"), 3u);
}

TEST(FrameRendererTitle, SizeRule) {
    struct Row {
        int width, pane, size;
    } rows[] = {{1920, 480, 56}, {320, 480, 14}, {704, 0, 14}, {704, 352, 28}, {1000, 300, 46}};
    for (const Row& r : rows) EXPECT_EQ(FrameRenderer::titleSize(r.width, r.pane), r.size) << r.width;
}

// Counts title-coloured pixels in the title band.
int countColour(const QImage& img, QRgb colour, int bandHeight) {
    int n = 0;
    for (int y = 0; y < bandHeight && y < img.height(); ++y) {
        for (int x = 0; x < img.width() / 2; ++x) n += (img.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
    }
    return n;
}

TEST(FrameRendererTitle, SelectedChannelInYellowOthersInWhite) {
    auto s = test::encodeTestStream("libx264", 320, 240, 3);
    Pipeline p;
    std::atomic<int> selected{1};
    FrameRenderer renderer(p.session, p.decoders,
                           {[&](int slot) { return &p.views[slot]; }, [&] { return selected.load(); },
                            [](int) { return 160; }});
    p.decoders.startDecoderThreads(2);
    p.feed(0, s, 0);
    p.feed(1, s, 0);
    ASSERT_TRUE(waitFor([&] { return p.decoders.framesDecoded[0] == 3 && p.decoders.framesDecoded[1] == 3; }));
    const uint8_t title[] = "Gate";
    p.session.setChannelName(1, title, 4);
    renderer.render(0);
    renderer.render(1);
    QImage white = p.views[0].lastImage(), yellow = p.views[1].lastImage();
    ASSERT_FALSE(white.isNull());
    EXPECT_EQ(white.size(), QSize(320, 240));
    int band = FrameRenderer::titleSize(320, 160) + 8;  // 28-pixel title, baseline at 32
    EXPECT_GT(countColour(white, qRgb(255, 255, 255), band), 30);
    EXPECT_EQ(countColour(white, qRgb(255, 255, 0), band), 0);
    EXPECT_GT(countColour(yellow, qRgb(255, 255, 0), band), 30);
    EXPECT_EQ(countColour(yellow, qRgb(255, 255, 0), 240) , countColour(yellow, qRgb(255, 255, 0), band));
    // The same picture is not handed over again; a new selection is.
    int images = p.views[1].images();
    renderer.render(1);
    EXPECT_EQ(p.views[1].images(), images);
    selected = 0;
    renderer.render(1);
    EXPECT_EQ(p.views[1].images(), images + 1);
}

TEST(FrameRendererThread, EndsWithTheLogoOnEveryView) {
    Pipeline p;
    FrameRenderer renderer(p.session, p.decoders, {[&](int slot) { return &p.views[slot]; }, {}, {}});
    renderer.startRenderThread();
    std::this_thread::sleep_for(80ms);
    renderer.stopRenderThread();
    for (auto& v : p.views) EXPECT_EQ(v.logos(), 1);
}

// FFmpeg's own mu-law decoder: the reference for what the device must receive.
std::vector<int16_t> ffmpegMuLaw(const std::vector<uint8_t>& bytes) {
    std::vector<int16_t> pcm;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PCM_MULAW);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->sample_rate = 8000;
    av_channel_layout_default(&ctx->ch_layout, 1);
    if (avcodec_open2(ctx, codec, nullptr) == 0) {
        AVPacket* pkt = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        pkt->data = const_cast<uint8_t*>(bytes.data());
        pkt->size = int(bytes.size());
        if (avcodec_send_packet(ctx, pkt) == 0 && avcodec_receive_frame(ctx, frame) == 0) {
            auto* s = reinterpret_cast<const int16_t*>(frame->data[0]);
            pcm.assign(s, s + frame->nb_samples);
        }
        av_frame_free(&frame);
        av_packet_free(&pkt);
    }
    avcodec_free_context(&ctx);
    return pcm;
}

// The sound path against SDL's disk driver: what reaches the device is the G.711 expansion.
class AudioDisk : public ::testing::Test {
protected:
    void SetUp() override {
        // Unique per process: ctest runs the tests of this binary in parallel processes.
        path = ::testing::TempDir() + "zaq_audio_disk_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".raw";
        std::remove(path.c_str());
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
        setenv("SDL_DISKAUDIODELAY", "1", 1);
    }
    void TearDown() override {
        unsetenv("SDL_AUDIODRIVER");
        std::remove(path.c_str());
    }
    std::string path;
};

TEST_F(AudioDisk, DeviceReceivesTheExpansionOfTheMuLawBytes) {
    std::atomic<int64_t> now{1'000'000};
    AudioOutput out([&] { return now.load(); });
    out.audioInit();
    ASSERT_TRUE(out.hasDevice());
    std::vector<uint8_t> chunk(160);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = uint8_t(i * 37);
    for (int i = 0; i < 10; ++i) {
        out.playAudioData(chunk.data(), int(chunk.size()));
        now += 20000;
    }
    std::this_thread::sleep_for(400ms);
    out.audioUninit();
    std::ifstream f(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
    ASSERT_GE(bytes.size(), 3200u);
    // The device got exactly FFmpeg's decoding of our bytes, in order. The driver writes
    // silence while nothing is queued, before and after.
    std::vector<int16_t> reference = ffmpegMuLaw(chunk);
    ASSERT_EQ(reference.size(), 160u);
    size_t start = 0;
    while (start + 1 < bytes.size() && bytes[start] == 0 && bytes[start + 1] == 0) start += 2;
    ASSERT_GE(bytes.size(), start + 3200);
    for (size_t i = 0; i < 1600; ++i) {
        int16_t got = int16_t(bytes[start + 2 * i] | (bytes[start + 2 * i + 1] << 8));
        ASSERT_EQ(got, reference[i % 160]) << "sample " << i;
    }
}

TEST_F(AudioDisk, RestartRulesAndChunkSplitting) {
    std::atomic<int64_t> now{1'000'000};
    AudioOutput out([&] { return now.load(); });
    out.audioInit();
    std::vector<uint8_t> chunk(160, 0xFF);
    out.playAudioData(chunk.data(), 160);  // the first chunk of a session restarts the queue
    EXPECT_EQ(out.restarts(), 1);
    for (int i = 0; i < 5; ++i) {
        now += 40000;
        out.playAudioData(chunk.data(), 160);
    }
    EXPECT_EQ(out.restarts(), 1);
    now += 300000;  // a 300 ms gap
    out.playAudioData(chunk.data(), 160);
    EXPECT_EQ(out.restarts(), 2);
    out.channelChanged();
    now += 20000;
    out.playAudioData(chunk.data(), 160);
    EXPECT_EQ(out.restarts(), 3);
    int before = out.buffersQueued();
    std::vector<uint8_t> big(4000, 0x7F);
    now += 20000;
    out.playAudioData(big.data(), 4000);  // 1920 + 1920 + 160
    EXPECT_EQ(out.buffersQueued(), before + 3);
    for (int i = 0; i < 398; ++i) {  // chunks 3 to 400 after the restart
        now += 20000;
        out.playAudioData(chunk.data(), 160);
    }
    EXPECT_EQ(out.restarts(), 3);
    now += 20000;
    out.playAudioData(chunk.data(), 160);  // the 401st chunk since the last restart
    EXPECT_EQ(out.restarts(), 4);
    out.audioUninit();
    out.audioUninit();
}

TEST(AudioNoDevice, NothingPlaysAndNothingBreaks) {
    test::LogCapture log;
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    AudioOutput out;
    out.audioInit();
    EXPECT_FALSE(out.hasDevice());
    uint8_t chunk[160] = {};
    out.playAudioData(chunk, 160);
    out.audioUninit();
    unsetenv("SDL_AUDIODRIVER");
}

}  // namespace
}  // namespace zaq
