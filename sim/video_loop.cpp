#include "sim/video_loop.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "sim/synthetic_picture.h"

namespace zaq::sim {

namespace {

enum class NalRole { ParameterSet, KeySlice, KeySliceRelabelled, Slice, Dropped, Refused };

struct NalKind {
    int type;
    NalRole role;
    const char* name;
};

// clang-format off
constexpr NalKind kH264Kinds[] = {
    {7,  NalRole::ParameterSet, "SPS"},
    {8,  NalRole::ParameterSet, "PPS"},
    {5,  NalRole::KeySlice,     "IDR slice"},
    {1,  NalRole::Slice,        "non-IDR slice"},
    {6,  NalRole::Dropped,      "SEI"},
};
constexpr NalKind kH265Kinds[] = {
    {32, NalRole::ParameterSet, "VPS"},
    {33, NalRole::ParameterSet, "SPS"},
    {34, NalRole::ParameterSet, "PPS"},
    {19, NalRole::KeySlice,     "IDR_W_RADL"},
    {20, NalRole::KeySliceRelabelled, "IDR_N_LP"},
    {1,  NalRole::Slice,        "TRAIL_R"},
    {39, NalRole::Dropped,      "prefix SEI"},
    {40, NalRole::Dropped,      "suffix SEI"},
};
// clang-format on

constexpr int kIdrWithRadl = 19;

NalRole roleOf(VideoCodec codec, int type) {
    auto find = [type](const auto& table) {
        for (const NalKind& k : table) {
            if (k.type == type) return k.role;
        }
        return NalRole::Refused;
    };
    return codec == VideoCodec::H265 ? find(kH265Kinds) : find(kH264Kinds);
}

// Parameter sets a key frame must bring: SPS and PPS, and the VPS for H.265.
size_t parameterSetsNeeded(VideoCodec codec) {
    return codec == VideoCodec::H265 ? 3 : 2;
}

std::string encoderParams(const VideoLoopSpec& s) {
    const std::string gop = std::to_string(s.gop);
    if (s.codec == VideoCodec::H265) {
        // Closed GOPs without B-frames give IDR_W_RADL and TRAIL_R only; info=0 leaves out the
        // encoder's own SEI; one thread per encoder, the channels run in parallel instead.
        return "log-level=none:repeat-headers=1:open-gop=0:bframes=0:scenecut=0:keyint=" + gop +
               ":min-keyint=" + gop + ":frame-threads=1:pools=none:info=0:aud=0:hash=0";
    }
    return "aud=0:repeat-headers=1:slices=1:sliced-threads=0:scenecut=0:bframes=0:keyint=" + gop +
           ":min-keyint=" + gop + ":threads=1:log=-1";
}

struct Encoder {
    AVCodecContext* ctx = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    ~Encoder() {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
    }
};

bool openEncoder(const VideoLoopSpec& s, Encoder& e, std::string* error) {
    const char* name = s.codec == VideoCodec::H265 ? "libx265" : "libx264";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec) {
        *error = std::string("no ") + name + " encoder in this libavcodec";
        return false;
    }
    e.ctx = avcodec_alloc_context3(codec);
    e.frame = av_frame_alloc();
    e.packet = av_packet_alloc();
    if (!e.ctx || !e.frame || !e.packet) {
        *error = "out of memory";
        return false;
    }
    AVCodecContext* c = e.ctx;
    c->width = s.width;
    c->height = s.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = {1, s.fps};
    c->framerate = {s.fps, 1};
    c->gop_size = s.gop;
    c->keyint_min = s.gop;
    c->max_b_frames = 0;
    c->thread_count = 1;
    c->bit_rate = int64_t(s.bitrate_kbps) * 1000;
    c->rc_max_rate = c->bit_rate;
    c->rc_buffer_size = int(c->bit_rate);  // one second: a steady rate, as DVRs send
    av_opt_set(c->priv_data, "preset", "ultrafast", 0);
    const std::string params = encoderParams(s);
    av_opt_set(c->priv_data, s.codec == VideoCodec::H265 ? "x265-params" : "x264-params",
               params.c_str(), 0);
    if (int rc = avcodec_open2(c, codec, nullptr); rc < 0) {
        char why[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(rc, why, sizeof why);
        *error = std::string(name) + " refused " + std::to_string(s.width) + "x" +
                 std::to_string(s.height) + ": " + why;
        return false;
    }
    e.frame->format = AV_PIX_FMT_YUV420P;
    e.frame->width = s.width;
    e.frame->height = s.height;
    if (av_frame_get_buffer(e.frame, 0) < 0) {
        *error = "out of memory";
        return false;
    }
    return true;
}

}  // namespace

int nalUnitType(VideoCodec codec, uint8_t first_byte) {
    return codec == VideoCodec::H265 ? (first_byte >> 1) & 0x3F : first_byte & 0x1F;
}

std::vector<NalUnit> splitAnnexB(const uint8_t* data, size_t size) {
    std::vector<NalUnit> out;
    // Offsets just past each 00 00 01.
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    }
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t begin = starts[k];
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : size;
        // Zero bytes before the next start code (its fourth byte, or padding) are not the NAL's.
        while (end > begin && data[end - 1] == 0)
            --end;
        if (end > begin) out.emplace_back(data + begin, data + end);
    }
    return out;
}

bool takeAccessUnit(VideoCodec codec, const uint8_t* data, size_t size, VideoFrame& out,
                    std::string* error) {
    out = VideoFrame{};
    size_t parameter_sets = 0;
    int slices = 0;
    for (NalUnit& nal : splitAnnexB(data, size)) {
        const int type = nalUnitType(codec, nal[0]);
        switch (roleOf(codec, type)) {
            case NalRole::Dropped:
                continue;
            case NalRole::Refused:
                *error = "NAL unit type " + std::to_string(type) + " is not sent by the DVR";
                return false;
            case NalRole::ParameterSet:
                if (slices > 0) {
                    *error = "parameter set after the slice";
                    return false;
                }
                ++parameter_sets;
                break;
            case NalRole::KeySliceRelabelled:
                // Without B-frames no picture ever leads a key frame, so the encoder calls it
                // IDR_N_LP; DVRs always say IDR_W_RADL. Both IDR kinds share one slice header
                // syntax, so the type field is all that changes.
                nal[0] = uint8_t((nal[0] & 0x81) | (kIdrWithRadl << 1));
                [[fallthrough]];
            case NalRole::KeySlice:
                out.key = true;
                [[fallthrough]];
            case NalRole::Slice:
                ++slices;
                break;
        }
        out.nals.push_back(std::move(nal));
    }
    if (slices != 1) {
        *error = std::to_string(slices) + " slices in one frame, one expected";
        return false;
    }
    if (out.key && parameter_sets != parameterSetsNeeded(codec)) {
        *error = "key frame with " + std::to_string(parameter_sets) + " parameter sets, " +
                 std::to_string(parameterSetsNeeded(codec)) + " expected";
        return false;
    }
    if (!out.key && parameter_sets != 0) {
        *error = "parameter sets before a frame that is not a key frame";
        return false;
    }
    return true;
}

VideoLoopSpec loopSpecFor(const SimOptions& options, int fps, int channel) {
    VideoLoopSpec s;
    s.codec = options.codec;
    s.width = options.width;
    s.height = options.height;
    s.fps = fps;
    s.gop = std::max(1, options.gop);
    s.bitrate_kbps = options.bitrate_kbps;
    s.frames = loopFrames(options);
    s.channel = channel;
    return s;
}

std::shared_ptr<const VideoLoop> encodeVideoLoop(const VideoLoopSpec& spec,
                                                 const std::atomic<bool>* cancel,
                                                 std::string* error) {
    std::string scratch;
    if (!error) error = &scratch;
    Encoder e;
    if (!openEncoder(spec, e, error)) return nullptr;

    auto loop = std::make_shared<VideoLoop>();
    loop->spec = spec;
    auto take = [&]() -> bool {
        for (;;) {
            int rc = avcodec_receive_packet(e.ctx, e.packet);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
            if (rc < 0) {
                *error = "encoder failed";
                return false;
            }
            VideoFrame frame;
            const size_t index = loop->frames.size();
            bool ok =
                takeAccessUnit(spec.codec, e.packet->data, size_t(e.packet->size), frame, error);
            av_packet_unref(e.packet);
            if (!ok) {
                *error = "frame " + std::to_string(index) + ": " + *error;
                return false;
            }
            // The loop is replayed from its start, and clients count on key frames at
            // every GOP boundary.
            if (frame.key != (index % size_t(spec.gop) == 0)) {
                *error =
                    "frame " + std::to_string(index) +
                    (frame.key ? " is a key frame off the GOP boundary" : " should be a key frame");
                return false;
            }
            for (const NalUnit& nal : frame.nals)
                loop->bytes += nal.size();
            loop->frames.push_back(std::move(frame));
        }
    };

    for (int i = 0; i < spec.frames; ++i) {
        if (cancel && cancel->load()) {
            *error = "cancelled";
            return nullptr;
        }
        if (av_frame_make_writable(e.frame) < 0) {
            *error = "out of memory";
            return nullptr;
        }
        PicturePlanes planes{e.frame->data[0],     e.frame->data[1],     e.frame->data[2],
                             e.frame->linesize[0], e.frame->linesize[1], e.frame->linesize[2],
                             spec.width,           spec.height};
        drawSyntheticPicture(planes, spec.channel, i, spec.frames, spec.fps);
        e.frame->pts = i;
        if (avcodec_send_frame(e.ctx, e.frame) < 0) {
            *error = "encoder refused frame " + std::to_string(i);
            return nullptr;
        }
        if (!take()) return nullptr;
    }
    avcodec_send_frame(e.ctx, nullptr);
    if (!take()) return nullptr;
    if (loop->frames.size() != size_t(spec.frames)) {
        *error = std::to_string(loop->frames.size()) + " frames out of " +
                 std::to_string(spec.frames) + " in";
        return nullptr;
    }
    return loop;
}

}  // namespace zaq::sim
