#include "tests/media/rtp_packetiser.h"

#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace zaq::test {
namespace {

using Bytes = std::vector<uint8_t>;

// Collects what the muxer flushes: one RTP packet per write, since it flushes after each.
int collectPacket(void* opaque, uint8_t* buf, int size) {
    static_cast<std::vector<Bytes>*>(opaque)->emplace_back(buf, buf + size);
    return size;
}

}  // namespace

std::vector<Bytes> splitAnnexB(const Bytes& s) {
    std::vector<Bytes> nals;
    size_t n = s.size();
    size_t start = SIZE_MAX;  // first byte of the unit being read
    for (size_t i = 0; i + 3 <= n; ++i) {
        if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
        if (start != SIZE_MAX) {
            size_t end = i;
            while (end > start && s[end - 1] == 0) {
                --end;  // zeros belong to the start code
            }
            nals.emplace_back(s.begin() + long(start), s.begin() + long(end));
        }
        start = i + 3;
        i += 2;
    }
    if (start != SIZE_MAX && start < n) nals.emplace_back(s.begin() + long(start), s.end());
    return nals;
}

std::vector<Bytes> packetiseRtp(const std::vector<Bytes>& units, const RtpPacketiseOptions& o) {
    std::vector<Bytes> packets;
    AVFormatContext* mux = nullptr;
    if (avformat_alloc_output_context2(&mux, nullptr, "rtp", nullptr) < 0) return {};
    AVStream* st = avformat_new_stream(mux, nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = o.h265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    st->codecpar->width = o.width;
    st->codecpar->height = o.height;
    st->time_base = {1, 90000};
    const int ioBytes = o.packetSize + 64;
    auto* ioBuffer = static_cast<uint8_t*>(av_malloc(size_t(ioBytes)));
    mux->pb = avio_alloc_context(ioBuffer, ioBytes, 1, &packets, nullptr, collectPacket, nullptr);
    mux->pb->max_packet_size = o.packetSize;
    av_opt_set_int(mux->priv_data, "payload_type", o.payloadType, 0);
    av_opt_set_int(mux->priv_data, "seq", o.firstSeq, 0);
    av_opt_set(mux->priv_data, "rtpflags", "skip_rtcp", 0);

    bool ok = avformat_write_header(mux, nullptr) >= 0;
    AVPacket* pkt = av_packet_alloc();
    for (size_t f = 0; ok && f < units.size(); ++f) {
        for (const Bytes& nal : splitAnnexB(units[f])) {
            size_t before = packets.size();
            Bytes annexB = {0, 0, 0, 1};
            annexB.insert(annexB.end(), nal.begin(), nal.end());
            if (av_new_packet(pkt, int(annexB.size())) < 0) {
                ok = false;
                break;
            }
            std::copy(annexB.begin(), annexB.end(), pkt->data);
            pkt->pts = pkt->dts = int64_t(f) * 3000;
            pkt->stream_index = 0;
            ok = av_write_frame(mux, pkt) >= 0;
            av_packet_unref(pkt);
            // The muxer marks the end of every packet it is given; only the frame's last
            // NAL unit ends the access unit.
            for (size_t i = before; i < packets.size(); ++i) {
                packets[i][1] &= 0x7F;
            }
        }
        if (!packets.empty()) packets.back()[1] |= 0x80;
    }
    av_packet_free(&pkt);
    if (ok) av_write_trailer(mux);
    av_freep(&mux->pb->buffer);
    avio_context_free(&mux->pb);
    avformat_free_context(mux);
    return ok ? packets : std::vector<Bytes>{};
}

}  // namespace zaq::test
