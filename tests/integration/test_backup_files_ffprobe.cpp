// Backup files made by the writer from a real H.264 stream and µ-law audio, read back by
// ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "backup/backup_writer.h"
#include "tests/support/test_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace zaq {
namespace {

namespace fs = std::filesystem;

struct AccessUnit {
    std::vector<uint8_t> bytes;  // Annex B, 4-byte start codes
    bool key = false;
};

// Splits an Annex B packet into NAL units and joins them again with 4-byte start codes, the
// form the backup receiver builds.
std::vector<uint8_t> withLongStartCodes(const uint8_t* p, size_t n) {
    std::vector<size_t> starts;  // first byte of each NAL unit
    for (size_t i = 0; i + 2 < n; ++i)
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) starts.push_back(i + 3);
    std::vector<uint8_t> out;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : n;
        while (end > starts[k] && p[end - 1] == 0)
            --end;  // the next start code's leading zero
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), p + starts[k], p + end);
    }
    return out;
}

// `count` frames of a moving gradient, 320x240, one slice each, SPS and PPS before every key
// frame, no B-frames. Empty when libx264 is not available.
std::vector<AccessUnit> encodeH264(int count, int width, int height) {
    av_log_set_level(AV_LOG_ERROR);  // no encoder statistics in the test output
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) return {};
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(
        avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = {1, 30};
    ctx->framerate = {30, 1};
    ctx->gop_size = 15;
    ctx->max_b_frames = 0;
    ctx->thread_count = 1;
    av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ctx->priv_data, "x264-params", "repeat-headers=1:slices=1:annexb=1:scenecut=0", 0);
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return {};

    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(),
                                                       [](AVPacket* p) { av_packet_free(&p); });
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return {};

    std::vector<AccessUnit> units;
    auto drain = [&] {
        while (avcodec_receive_packet(ctx.get(), pkt.get()) == 0) {
            units.push_back({withLongStartCodes(pkt->data, size_t(pkt->size)),
                             (pkt->flags & AV_PKT_FLAG_KEY) != 0});
            av_packet_unref(pkt.get());
        }
    };
    for (int i = 0; i < count; ++i) {
        if (av_frame_make_writable(frame.get()) < 0) return {};
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                frame->data[0][y * frame->linesize[0] + x] = uint8_t(x + y + 3 * i);
        for (int y = 0; y < height / 2; ++y)
            for (int x = 0; x < width / 2; ++x) {
                frame->data[1][y * frame->linesize[1] + x] = uint8_t(128 + y / 4);
                frame->data[2][y * frame->linesize[2] + x] = uint8_t(64 + x / 4);
            }
        frame->pts = i;
        if (avcodec_send_frame(ctx.get(), frame.get()) < 0) return {};
        drain();
    }
    avcodec_send_frame(ctx.get(), nullptr);
    drain();
    return units;
}

// G.711 µ-law of one 16-bit sample.
uint8_t muLaw(int16_t sample) {
    constexpr int kBias = 0x84, kClip = 32635;
    int s = sample;
    const uint8_t sign = s < 0 ? 0x80 : 0;
    if (s < 0) s = -s;
    if (s > kClip) s = kClip;
    s += kBias;
    int exponent = 7;
    for (int mask = 0x4000; (s & mask) == 0 && exponent > 0; mask >>= 1)
        --exponent;
    const int mantissa = (s >> (exponent + 3)) & 0x0F;
    return uint8_t(~(sign | (exponent << 4) | mantissa));
}

// 3 seconds of a 440 Hz tone at 8 kHz.
std::vector<uint8_t> toneBlock() {
    std::vector<uint8_t> block(24000);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = muLaw(int16_t(8000 * std::sin(2 * M_PI * 440 * double(i) / 8000)));
    return block;
}

// The full path of a program found on PATH, or "".
std::string onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= dirs.size()) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(at, end - at) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return {};
}

// The value of `key=` in ffprobe's flat output of one section, or "".
std::string field(const std::string& section, const std::string& key) {
    const std::string probe = "\n" + key + "=";
    size_t at = ("\n" + section).find(probe);
    if (at == std::string::npos) return {};
    at += probe.size() - 1;
    return section.substr(at, section.find('\n', at) - at);
}

std::vector<std::string> streams(const std::string& out) {
    std::vector<std::string> found;
    size_t at = 0;
    while ((at = out.find("[STREAM]\n", at)) != std::string::npos) {
        size_t end = out.find("[/STREAM]", at);
        found.push_back(out.substr(at + 9, end - at - 9));
        at = end;
    }
    return found;
}

class BackupFilesFfprobe : public ::testing::Test {
  protected:
    void SetUp() override {
        ffprobe = onPath("ffprobe");
        ffmpeg = onPath("ffmpeg");
        if (ffprobe.empty()) GTEST_SKIP() << "ffprobe not found on PATH: AVI check skipped";
        std::string tmpl = ::testing::TempDir() + "backup_ffprobe_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
    }
    void TearDown() override {
        if (!dir.empty()) fs::remove_all(dir);
    }
    std::string dir, ffprobe, ffmpeg;
};

TEST_F(BackupFilesFfprobe, H264AndMuLawFileReadsBack) {
    const auto units = encodeH264(60, 320, 240);
    ASSERT_EQ(units.size(), 60u) << "libx264 encoding failed";
    ASSERT_TRUE(units[0].key);

    tBACKUP_PARAM p;
    p.BackupFileName1 = dir + "/[CH01]08_30_00.avi";
    p.BackupFileName2 = dir + "/[CH01]08_30_00.smi";
    p.cmd = 2;
    p.AVI_width = 320;
    p.AVI_height = 240;
    p.tv.tv_sec = 1709800212;
    ASSERT_TRUE(BackupOpenOutputFile(p, 0));

    // As the backup receiver drives the writer: an audio block before every other key frame,
    // the frame itself, and empty chunks that keep the time line.
    const auto tone = toneBlock();
    const BackupStopFn stop = [](int) {};
    auto put = [&](uint32_t type, uint32_t flag, const std::vector<uint8_t>& data) {
        ASSERT_FALSE(BackupDataLengthCheck(p, 0, uint32_t(data.size()), stop));
        p.Data_Offset =
            BackupDataWrite(p, 0, p.Data_Offset, uint32_t(data.size()), flag, type, data.data());
    };
    int audioChunks = 0, emptyChunks = 0;
    for (const AccessUnit& au : units) {
        p.Total_Interval += 33;
        p.Total_I_Interval += 33;
        p.tv.tv_sec = 1709800212 + p.Total_Interval / 1000;
        if (au.key && p.backup_IFrameCount % 2 == 0) {
            put(BACKUP_TYPE_AUDIO, 1, tone);
            ++audioChunks;
        }
        put(BACKUP_TYPE_VIDEO, au.key ? 0 : 1, au.bytes);
        if (au.key) {
            ++p.backup_IFrameCount;
            p.Total_I_Interval = 0;
        }
        while (p.Total_I_Interval > 51) {
            put(BACKUP_TYPE_VIDEO, 2, {});
            p.Total_I_Interval -= 51;
            ++emptyChunks;
        }
    }
    BackupCloseOutputFile(p, 0);
    ASSERT_EQ(p.file_error, 0);
    EXPECT_EQ(audioChunks, 2);
    EXPECT_GT(emptyChunks, 0);
    EXPECT_EQ(fs::file_size(p.BackupFileName1), p.Data_Offset);

    auto probe = test::runProcess(
        {ffprobe, "-v", "error", "-show_streams", "-count_frames", p.BackupFileName1});
    ASSERT_EQ(probe.exitCode, 0) << probe.err;
    EXPECT_EQ(probe.err, "");
    bool video = false, audio = false;
    for (const std::string& s : streams(probe.out)) {
        if (field(s, "codec_type") == "video") {
            video = true;
            EXPECT_EQ(field(s, "codec_name"), "h264");
            EXPECT_EQ(field(s, "width"), "320");
            EXPECT_EQ(field(s, "height"), "240");
            EXPECT_EQ(field(s, "nb_read_frames"), "60");  // the empty chunks carry no picture
            EXPECT_EQ(field(s, "nb_frames"), std::to_string(p.backup_FrameCount));
        } else if (field(s, "codec_type") == "audio") {
            audio = true;
            EXPECT_EQ(field(s, "codec_name"), "pcm_mulaw");
            EXPECT_EQ(field(s, "sample_rate"), "8000");
            EXPECT_EQ(field(s, "channels"), "1");
            EXPECT_EQ(field(s, "nb_read_frames"), std::to_string(audioChunks));
        }
    }
    EXPECT_TRUE(video) << probe.out;
    EXPECT_TRUE(audio) << probe.out;

    if (!ffmpeg.empty()) {
        auto decode = test::runProcess(
            {ffmpeg, "-nostdin", "-v", "error", "-i", p.BackupFileName1, "-f", "null", "-"});
        EXPECT_EQ(decode.exitCode, 0);
        EXPECT_EQ(decode.err, "");
    }

    // One subtitle per second of stream time: 60 frames of 33 ms reach second 1.
    auto subs =
        test::runProcess({ffprobe, "-v", "error", "-show_entries",
                          "packet=pts_time:stream=codec_name", "-of", "flat", p.BackupFileName2});
    ASSERT_EQ(subs.exitCode, 0) << subs.err;
    EXPECT_NE(subs.out.find("codec_name=\"sami\""), std::string::npos) << subs.out;
    EXPECT_NE(subs.out.find("pts_time=\"1.000000\""), std::string::npos) << subs.out;
}

}  // namespace
}  // namespace zaq
