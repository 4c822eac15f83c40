// The payload assembler against FFmpeg: short streams encoded with libx264 / libx265, cut into
// RTP packets by FFmpeg's own RTP muxer, reassembled by the client (by the assembler alone and
// behind the receive loop) and decoded with libavcodec. Every picture must equal the one
// decoded from the encoder's own output.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "live/nal_class.h"
#include "live/rtp_payload.h"
#include "tests/media/rtp_packetiser.h"
#include "tests/support/rtp_session.h"
#include "tests/support/test_encoder.h"
#include "tests/support/test_support.h"

namespace zaq {
namespace {

using namespace std::chrono_literals;
using test::Bytes;

constexpr int kWidth = 320, kHeight = 240, kFrames = 30;

// FNV-1a over the visible samples of each plane of every decoded picture, in output order.
std::vector<uint64_t> decodePictures(const std::vector<Bytes>& units, bool h265) {
    std::vector<uint64_t> sums;
    const AVCodec* codec = avcodec_find_decoder(h265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 1;
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return sums;
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            uint64_t h = 1469598103934665603ull;
            for (int p = 0; p < 3; ++p) {
                int w = p ? (frame->width + 1) / 2 : frame->width;
                int rows = p ? (frame->height + 1) / 2 : frame->height;
                for (int y = 0; y < rows; ++y) {
                    const uint8_t* row = frame->data[p] + y * frame->linesize[p];
                    for (int x = 0; x < w; ++x) {
                        h = (h ^ row[x]) * 1099511628211ull;
                    }
                }
            }
            sums.push_back(h);
            av_frame_unref(frame);
        }
    };
    for (const Bytes& au : units) {
        av_new_packet(pkt, int(au.size()));
        std::memcpy(pkt->data, au.data(), au.size());
        avcodec_send_packet(ctx, pkt);
        av_packet_unref(pkt);
        drain();
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return sums;
}

// The stored access units of slot 0 after handing each frame's packets to the assembler.
std::vector<Bytes> assembleDirectly(const std::vector<Bytes>& packets, uint8_t pt) {
    test::RtpSession session;
    std::vector<tPAYLOAD_BUFFER> queue(kMaxPayloadCount);
    std::unique_ptr<uint8_t[]> out(new uint8_t[kAssemblyBytes]);
    int count = 0;
    session.m_payload_type = pt;
    for (const Bytes& p : packets) {
        if (count == kMaxPayloadCount || p.size() > kPayloadAreaBytes) return {};
        tPAYLOAD_BUFFER& e = queue[size_t(count++)];
        e.payload.reset(new uint8_t[kPayloadAreaBytes]);
        std::memcpy(e.payload.get(), p.data(), p.size());
        e.size = uint32_t(p.size());
        if (p[1] & 0x80) {
            session.rtpPayloadTProc2(0, queue.data(), count, out.get());
            count = 0;
        }
    }
    return session.takeUnits(0);
}

// The stored access units of slot 0 after the receive loop read the packets, interleaved on
// one connection.
std::vector<Bytes> assembleThroughLoop(const std::vector<Bytes>& packets, size_t expected) {
    test::SocketPair pair;
    test::RtpSession session;
    session.resetSession(KIND_LIVE);
    session.m_loginParam[0].max_channel = 1;
    session.m_socks[0] = pair.a;
    session.m_last_command[0] = CMD_GET_PARAMETER;
    session.startTcpRecvThread();
    std::string wire;
    for (const Bytes& p : packets) {
        Bytes unit = test::interleaved(0, p);
        wire.append(unit.begin(), unit.end());
    }
    pair.write(wire);
    std::vector<Bytes> units;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (units.size() < expected && std::chrono::steady_clock::now() < deadline) {
        for (Bytes& u : session.takeUnits(0)) {
            units.push_back(std::move(u));
        }
        std::this_thread::sleep_for(5ms);
    }
    session.stopTcpRecvThread();
    return units;
}

struct CrossCase {
    const char* name;
    const char* encoder;
    bool h265;
    int packetSize;  // small enough that key slices leave as start, middle and end fragments
    bool throughLoop;
};
void PrintTo(const CrossCase& c, std::ostream* os) {
    *os << c.name;
}

class RtpCrossCheck : public ::testing::TestWithParam<CrossCase> {};

TEST_P(RtpCrossCheck, AssembledStreamDecodesToTheEncodersPictures) {
    const CrossCase& c = GetParam();
    av_log_set_level(AV_LOG_ERROR);
    test::EncodedStream es = test::encodeTestStream(c.encoder, kWidth, kHeight, kFrames, 10);
    if (es.units.empty()) GTEST_SKIP() << c.encoder << " is not available";
    ASSERT_EQ(es.units.size(), size_t(kFrames));
    const uint8_t pt = c.h265 ? 98 : 96;

    // x265 marks key pictures without leading pictures IDR_N_LP, which the client does not take;
    // the slice syntax of IDR_W_RADL is the same, so the stream is relabelled before use.
    if (c.h265) {
        for (Bytes& au : es.units) {
            for (size_t i = 0; i + 3 < au.size(); ++i) {
                if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1 &&
                    ((au[i + 3] >> 1) & 0x3F) == 20) {
                    au[i + 3] = uint8_t((au[i + 3] & 0x81) | (19 << 1));
                }
            }
        }
    }
    for (const Bytes& au : es.units) {
        for (const Bytes& nal : test::splitAnnexB(au)) {
            ASSERT_NE(nalClass(pt, nal.at(0)), NAL_NONE) << "NAL header " << int(nal[0]);
        }
    }

    test::RtpPacketiseOptions options;
    options.h265 = c.h265;
    options.payloadType = pt;
    options.firstSeq = 65500;  // the sequence numbers wrap within the stream
    options.packetSize = c.packetSize;
    std::vector<Bytes> packets = test::packetiseRtp(es.units, options);
    ASSERT_FALSE(packets.empty());
    // The stream must exercise every packet form the client takes.
    int single = 0, starts = 0, middles = 0, ends = 0;
    for (const Bytes& p : packets) {
        const uint8_t* nal = p.data() + 12;
        if (nalClass(pt, nal[0]) != NAL_FRAGMENT) {
            ++single;
            continue;
        }
        uint8_t fu = c.h265 ? fuHeaderH265(nal) : fuHeaderH264(nal);
        starts += (fu & kFuStart) != 0;
        ends += (fu & kFuEnd) != 0;
        middles += (fu & (kFuStart | kFuEnd)) == 0;
    }
    EXPECT_GT(single, kFrames / 2);
    EXPECT_GT(starts, 0);
    EXPECT_GT(middles, 0);
    EXPECT_EQ(starts, ends);

    std::vector<Bytes> assembled = c.throughLoop ? assembleThroughLoop(packets, es.units.size())
                                                 : assembleDirectly(packets, pt);
    ASSERT_EQ(assembled.size(), es.units.size());
    std::vector<uint64_t> expected = decodePictures(es.units, c.h265);
    ASSERT_EQ(expected.size(), size_t(kFrames));
    EXPECT_EQ(decodePictures(assembled, c.h265), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, RtpCrossCheck,
    ::testing::Values(CrossCase{"H264", "libx264", false, 1400, false},
                      CrossCase{"H265", "libx265", true, 500, false},
                      CrossCase{"H264ThroughReceiveLoop", "libx264", false, 1400, true},
                      CrossCase{"H265ThroughReceiveLoop", "libx265", true, 500, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zaq
