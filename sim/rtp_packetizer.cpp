#include "sim/rtp_packetizer.h"

#include <algorithm>

#include "protocol/wire.h"

namespace zaq::sim {

namespace {

constexpr uint8_t kRtpVersion2 = 0x80;
constexpr uint8_t kMarker = 0x80;
constexpr uint8_t kRtcpSenderReport = 200;

//  H.264 FU-A:  +---------------+---------------+
//               |F|NRI|  Type=28 |S|E|R|  Type   |  then fragment data
//               +---------------+---------------+
//  H.265 FU:    +---------------+---------------+---------------+
//               |F| Type=49 |LayerId|TID|S|E| FuType  |  then fragment data
//               +---------------+---------------+---------------+
constexpr uint8_t kFuStart = 0x80;
constexpr uint8_t kFuEnd = 0x40;
constexpr uint8_t kFuATypeH264 = 28;
constexpr uint8_t kFuTypeH265 = 49;

struct FuHeader {
    uint8_t bytes[3];
    size_t size;        // payload header plus FU header: 2 (H.264) or 3 (H.265)
    size_t nal_header;  // bytes of the NAL header the FU header replaces: 1 or 2
};

FuHeader fuHeader(VideoCodec codec, const NalUnit& nal) {
    if (codec == VideoCodec::H265) {
        const uint8_t type = (nal[0] >> 1) & 0x3F;
        return {{uint8_t((nal[0] & 0x81) | (kFuTypeH265 << 1)), nal[1], type}, 3, 2};
    }
    return {{uint8_t((nal[0] & 0xE0) | kFuATypeH264), uint8_t(nal[0] & 0x1F), 0}, 2, 1};
}

MediaUnit interleaved(uint8_t channel, size_t packet_size) {
    MediaUnit unit(kInterleavedPrefix + packet_size);
    unit[0] = '$';
    unit[1] = channel;
    wire::wrBE16(&unit[2], uint16_t(packet_size));
    return unit;
}

}  // namespace

MediaUnit rtpUnit(RtpTrack& track, bool marker, uint32_t timestamp, const uint8_t* head,
                  size_t head_size, const uint8_t* data, size_t data_size) {
    const size_t payload = head_size + data_size;
    MediaUnit unit = interleaved(track.interleaved, kRtpHeaderSize + payload);
    uint8_t* p = unit.data() + kInterleavedPrefix;
    p[0] = kRtpVersion2;
    p[1] = uint8_t((marker ? kMarker : 0) | (track.payload_type & 0x7F));
    wire::wrBE16(p + 2, track.next_seq++);
    wire::wrBE32(p + 4, timestamp);
    wire::wrBE32(p + 8, track.ssrc);
    std::copy(head, head + head_size, p + kRtpHeaderSize);
    std::copy(data, data + data_size, p + kRtpHeaderSize + head_size);

    track.packets++;
    track.octets += uint32_t(payload);
    if (track.gap_every > 0 && ++track.since_gap >= track.gap_every) {
        track.since_gap = 0;
        track.next_seq++;
        track.gaps++;
    }
    return unit;
}

void packetizeAccessUnit(VideoCodec codec, const std::vector<NalUnit>& nals, uint32_t timestamp,
                         size_t payload_limit, RtpTrack& track, std::vector<MediaUnit>& out) {
    for (size_t i = 0; i < nals.size(); ++i) {
        const NalUnit& nal = nals[i];
        const bool last_nal = i + 1 == nals.size();
        if (nal.size() <= payload_limit) {
            out.push_back(rtpUnit(track, last_nal, timestamp, nullptr, 0, nal.data(), nal.size()));
            continue;
        }
        FuHeader fu = fuHeader(codec, nal);
        uint8_t& flags = fu.bytes[fu.size - 1];
        const uint8_t type = flags;
        const size_t chunk = payload_limit - fu.size;
        for (size_t at = fu.nal_header; at < nal.size(); at += chunk) {
            const size_t n = std::min(chunk, nal.size() - at);
            const bool end = at + n == nal.size();
            flags = uint8_t(type | (at == fu.nal_header ? kFuStart : 0) | (end ? kFuEnd : 0));
            out.push_back(
                rtpUnit(track, last_nal && end, timestamp, fu.bytes, fu.size, nal.data() + at, n));
        }
    }
}

MediaUnit senderReport(const RtpTrack& track, uint64_t ntp, uint32_t timestamp) {
    MediaUnit unit = interleaved(uint8_t(track.interleaved + 1), kSenderReportSize);
    uint8_t* p = unit.data() + kInterleavedPrefix;
    p[0] = kRtpVersion2;  // no report blocks
    p[1] = kRtcpSenderReport;
    wire::wrBE16(p + 2, uint16_t(kSenderReportSize / 4 - 1));  // length in words minus one
    wire::wrBE32(p + 4, track.ssrc);
    wire::wrBE32(p + 8, uint32_t(ntp >> 32));
    wire::wrBE32(p + 12, uint32_t(ntp));
    wire::wrBE32(p + 16, timestamp);
    wire::wrBE32(p + 20, track.packets);
    wire::wrBE32(p + 24, track.octets);
    return unit;
}

}  // namespace zaq::sim
