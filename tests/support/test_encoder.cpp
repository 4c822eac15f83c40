#include "tests/support/test_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace zaq::test {

EncodedStream encodeTestStream(const std::string& name, int width, int height, int frames,
                               int gop) {
    EncodedStream out;
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (!codec) return out;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = {1, 30};
    ctx->framerate = {30, 1};
    ctx->gop_size = gop;
    ctx->max_b_frames = 0;
    ctx->thread_count = 1;
    if (name == "libx264") {
        av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
        av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
        av_opt_set(ctx->priv_data, "x264-params", "repeat-headers=1:aud=0:sliced-threads=0", 0);
    } else {
        av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
        // One thread, no worker pool: x265's own threads are not instrumented, so the thread
        // sanitizer would take their hand-overs for races.
        av_opt_set(
            ctx->priv_data, "x265-params",
            ("log-level=none:repeat-headers=1:open-gop=0:bframes=0:keyint=" + std::to_string(gop) +
             ":min-keyint=" + std::to_string(gop) + ":frame-threads=1:pools=none")
                .c_str(),
            0);
    }
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return out;
    }
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    av_frame_get_buffer(frame, 0);
    AVPacket* pkt = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(ctx, pkt) == 0) {
            out.units.emplace_back(pkt->data, pkt->data + pkt->size);
            out.key.push_back(pkt->flags & AV_PKT_FLAG_KEY);
            av_packet_unref(pkt);
        }
    };
    for (int i = 0; i < frames; ++i) {
        av_frame_make_writable(frame);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x)
                frame->data[0][y * frame->linesize[0] + x] = uint8_t(x + y + i * 3);
        }
        for (int p = 1; p < 3; ++p) {
            for (int y = 0; y < height / 2; ++y) {
                for (int x = 0; x < width / 2; ++x)
                    frame->data[p][y * frame->linesize[p] + x] = uint8_t(128 + p * 20);
            }
        }
        frame->pts = i;
        avcodec_send_frame(ctx, frame);
        drain();
    }
    avcodec_send_frame(ctx, nullptr);
    drain();
    out.width = width;
    out.height = height;
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return out;
}

}  // namespace zaq::test
