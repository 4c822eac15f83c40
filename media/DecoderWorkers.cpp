#include "media/DecoderWorkers.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <ctime>
#include <memory>

#include "media/ChannelView.h"
#include "protocol/cancel.h"
#include "protocol/log.h"

namespace zaq {
namespace {

int64_t wallSeconds() { return int64_t(time(nullptr)); }

struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;

// Opens a decoder context with the settings every worker uses; null (logged) when it cannot.
CodecPtr openDecoder(AVCodecID id, int slot, const char* name, std::recursive_mutex& lock) {
    const AVCodec* codec = avcodec_find_decoder(id);
    if (!codec) {
        zlog("thx_index:%d, avcodec2%s == NULL, error!!!", slot, name);
        return nullptr;
    }
    CodecPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) {
        zlog("thx_index:%d, avctx2%s == NULL, error!!!", slot, name);
        return nullptr;
    }
    ctx->width = 352;
    ctx->height = 240;
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    ctx->flags2 |= AV_CODEC_FLAG2_FAST;
    ctx->err_recognition = AV_EF_CAREFUL;
    ctx->error_concealment = 3;
    ctx->workaround_bugs = 0;
    ctx->idct_algo = 0;
    ctx->skip_frame = AVDISCARD_DEFAULT;
    ctx->thread_count = 1;  // one worker per channel already spreads the load over the cores
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        zlog("thx_index:%d, avcodec_open(), error!!!", slot);
        return nullptr;
    }
    return ctx;
}

}  // namespace

DecoderWorkers::DecoderWorkers(StreamObject& session, ViewOf viewOf, SecondsClock clock)
    : m_session(session),
      m_viewOf(std::move(viewOf)),
      m_clock(clock ? std::move(clock) : SecondsClock(wallSeconds)) {
    for (int i = 0; i < kMaxSlots; ++i) {
        cur_width[i] = cur_height[i] = 0;
        framesDecoded[i] = 0;
        bDecThxStop[i] = 0;
    }
}

DecoderWorkers::~DecoderWorkers() { stopDecoderThreads(kMaxSlots); }

void DecoderWorkers::startDecoderThreads(int count) {
    stopDecoderThreads(count);
    for (int slot = 0; slot < std::min(count, int(kMaxSlots)); ++slot) {
        bDecThxStop[slot] = 0;
        framesDecoded[slot] = 0;
        decoderThreads[slot] = std::thread([this, slot] { decoderTProc(slot); });
    }
}

void DecoderWorkers::stopDecoderThreads(int count) {
    count = std::min(count, int(kMaxSlots));
    // Every worker tests its flag once per 10 ms pass, so flagging all first and joining
    // afterwards ends them together.
    for (int slot = 0; slot < count; ++slot) {
        if (decoderThreads[slot].joinable()) bDecThxStop[slot] = 1;
    }
    for (int slot = 0; slot < count; ++slot) {
        if (!decoderThreads[slot].joinable()) continue;
        decoderThreads[slot].join();
        zlog("stopDecoderThreads ch[%d]", slot);
    }
    zlog("stopDecoderThreads");
}

void DecoderWorkers::decoderTProc(int slot) {
    pthread_setname_np(pthread_self(), "decoderTProc");
    char title[16];
    snprintf(title, sizeof title, "CH-%d", slot + 1);
    m_session.setChannelName(slot, reinterpret_cast<const uint8_t*>(title), strlen(title));
    sleepMs(10);
    zlog("decoderTProc() - %d", slot);
    CodecPtr h264 = openDecoder(AV_CODEC_ID_H264, slot, "H264", m_session.m_bufferLock);
    CodecPtr h265 = openDecoder(AV_CODEC_ID_HEVC, slot, "H265", m_session.m_bufferLock);
    cur_width[slot] = cur_height[slot] = 0;
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    std::vector<uint8_t> au(512 * 1024);
    std::vector<uint8_t> back;  // the picture being converted, swapped with the slot's
    SwsContext* sws = nullptr;
    int swsW = 0, swsH = 0, swsFmt = -1;
    _STREAM_MGR mgr;
    SlotPicture& out = m_pictures[size_t(slot)];

    while (!bDecThxStop[slot]) {
        if (m_session.m_last_errno < 0) {
            zlog("thx_index:%d, decoder thread Cancelled", slot);
            break;
        }
        sleepMs(10);
        mgr.channel = slot;
        if (m_session.getVideoData(mgr, au) < 0) {
            int64_t now = m_clock();
            int64_t last = m_session.m_lastFrameTime[slot];
            if (last != 0 && now - last > 30) {
                m_session.m_lastFrameTime[slot] = now;
                if (ChannelView* view = m_viewOf(slot)) view->setLogo();
                cur_width[slot] = cur_height[slot] = 0;
            }
            mgr.size = 0;
            continue;
        }
        AVCodecContext* ctx = mgr.codec == 1 ? h265.get() : h264.get();
        if (!ctx || !frame || !packet) continue;
        packet->data = au.data();
        packet->size = mgr.size;
        // One access unit in, at most one picture out.
        if (avcodec_send_packet(ctx, packet) < 0) continue;
        if (avcodec_receive_frame(ctx, frame) < 0) continue;
        int w = frame->width, h = frame->height;
        if (w <= 0 || h <= 0) continue;
        cur_width[slot] = w;
        cur_height[slot] = h;
        // A picture of another size or format gets a conversion context of its own.
        if (!sws || w != swsW || h != swsH || frame->format != swsFmt) {
            sws_freeContext(sws);
            sws = sws_getContext(w, h, AVPixelFormat(frame->format), w, h, AV_PIX_FMT_RGB24,
                                 SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
            swsW = w;
            swsH = h;
            swsFmt = frame->format;
        }
        if (!sws) {
            av_frame_unref(frame);
            continue;
        }
        int lineSize = w * 3;
        back.resize(size_t(lineSize) * size_t(h));
        uint8_t* dst[4] = {back.data(), nullptr, nullptr, nullptr};
        int dstStride[4] = {lineSize, 0, 0, 0};
        sws_scale(sws, frame->data, frame->linesize, 0, h, dst, dstStride);
        av_frame_unref(frame);
        {
            std::lock_guard<std::mutex> lock(out.lock);
            out.rgb.swap(back);
            out.width = w;
            out.height = h;
            out.lineSize = lineSize;
            ++out.serial;
        }
        m_session.m_lastFrameTime[slot] = m_clock();
        ++framesDecoded[slot];
    }
    sws_freeContext(sws);
    av_packet_free(&packet);
    av_frame_free(&frame);
    {
        std::lock_guard<std::recursive_mutex> guard(m_session.m_bufferLock);
        h264.reset();
        h265.reset();
    }
    zlog("decoderTProc end [%d]", slot);
}

}  // namespace zaq
