// The simulator's RTP and RTCP units and its mu-law tone, read back by the wire rules: single
// NAL packets up to the payload limit, FU-A / FU fragments beyond it, sequence numbering with
// its gap fault, the sender report's layout, and sound the client's expansion turns back into
// the tone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "media/g711.h"
#include "sim/audio_tone.h"
#include "sim/rtp_packetizer.h"

namespace zaq::sim {
namespace {

uint16_t be16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t* p) {
    return uint32_t(be16(p)) << 16 | be16(p + 2);
}

NalUnit nalOf(VideoCodec codec, int type, size_t size) {
    NalUnit nal(size);
    for (size_t i = 0; i < size; ++i)
        nal[i] = uint8_t(i * 7 + 3);
    if (codec == VideoCodec::H265) {
        nal[0] = uint8_t(type << 1);
        nal[1] = 0x01;  // layer 0, temporal id 0
    } else {
        nal[0] = uint8_t(0x60 | type);  // NRI 3
    }
    return nal;
}

// Rebuilds the NAL units of one access unit from its packets by RFC 6184 / RFC 7798 and checks
// the per-packet rules on the way.
std::vector<NalUnit> depacketize(VideoCodec codec, const std::vector<MediaUnit>& units,
                                 size_t limit) {
    const bool h265 = codec == VideoCodec::H265;
    std::vector<NalUnit> out;
    bool open = false;
    for (size_t i = 0; i < units.size(); ++i) {
        SCOPED_TRACE(i);
        const MediaUnit& u = units[i];
        EXPECT_EQ(u[0], '$');
        EXPECT_EQ(be16(&u[2]), u.size() - 4);
        const uint8_t* pkt = u.data() + 4;
        EXPECT_EQ(pkt[0], 0x80);  // V=2, no padding, extension or CSRC
        EXPECT_EQ(bool(pkt[1] & 0x80), i + 1 == units.size()) << "marker on the last only";
        const uint8_t* payload = pkt + 12;
        const size_t size = u.size() - 4 - 12;
        EXPECT_LE(size, limit);
        const int type = h265 ? (payload[0] >> 1) & 0x3F : payload[0] & 0x1F;
        if (type != (h265 ? 49 : 28)) {
            EXPECT_FALSE(open) << "a whole NAL unit inside a fragmented one";
            out.emplace_back(payload, payload + size);
            continue;
        }
        const size_t head = h265 ? 3 : 2;
        const uint8_t fu = payload[head - 1];
        if (fu & 0x80) {
            EXPECT_FALSE(open);
            open = true;
            NalUnit nal;
            if (h265) {
                nal = {uint8_t((payload[0] & 0x81) | ((fu & 0x3F) << 1)), payload[1]};
            } else {
                nal = {uint8_t((payload[0] & 0xE0) | (fu & 0x1F))};
            }
            out.push_back(nal);
        }
        EXPECT_TRUE(open) << "a fragment without its start";
        if (!open) continue;
        out.back().insert(out.back().end(), payload + head, payload + size);
        if (fu & 0x40) open = false;
    }
    EXPECT_FALSE(open) << "the last fragmented NAL unit never ended";
    return out;
}

TEST(SimRtpTest, AccessUnitsGoOutWholeUpToTheLimitAndInFragmentsBeyond) {
    constexpr size_t kLimit = 100;
    struct Case {
        VideoCodec codec;
        size_t slice;  // bytes of the slice NAL unit
    };
    const Case cases[] = {
        {VideoCodec::H264, kLimit},     {VideoCodec::H264, kLimit + 1},
        {VideoCodec::H264, 3 * 98 + 1},  // three full fragments, the header byte apart
        {VideoCodec::H264, 5000},       {VideoCodec::H265, kLimit},
        {VideoCodec::H265, kLimit + 1}, {VideoCodec::H265, 3 * 97 + 2},  // likewise
        {VideoCodec::H265, 5000},
    };
    for (const Case& c : cases) {
        const bool h265 = c.codec == VideoCodec::H265;
        SCOPED_TRACE(std::string(h265 ? "H.265 " : "H.264 ") + std::to_string(c.slice));
        std::vector<NalUnit> nals;
        if (h265) nals.push_back(nalOf(c.codec, 32, 24));
        nals.push_back(nalOf(c.codec, h265 ? 33 : 7, 30));
        nals.push_back(nalOf(c.codec, h265 ? 34 : 8, 8));
        nals.push_back(nalOf(c.codec, h265 ? 19 : 5, c.slice));

        RtpTrack track;
        track.interleaved = 0;
        track.payload_type = h265 ? 98 : 96;
        track.ssrc = 0x11223344;
        track.next_seq = 65534;  // numbering wraps inside the unit
        std::vector<MediaUnit> units;
        packetizeAccessUnit(c.codec, nals, 0xCAFEBABE, kLimit, track, units);

        // The NAL header travels in the FU header; each fragment carries the limit less that.
        const size_t head = h265 ? 2 : 1, per = kLimit - (h265 ? 3 : 2);
        const size_t slice_packets = c.slice <= kLimit ? 1 : (c.slice - head + per - 1) / per;
        EXPECT_EQ(units.size(), nals.size() - 1 + slice_packets);
        EXPECT_EQ(depacketize(c.codec, units, kLimit), nals);
        for (size_t i = 0; i < units.size(); ++i) {
            const uint8_t* pkt = units[i].data() + 4;
            EXPECT_EQ(units[i][1], 0);
            EXPECT_EQ(pkt[1] & 0x7F, track.payload_type);
            EXPECT_EQ(be16(pkt + 2), uint16_t(65534 + i));
            EXPECT_EQ(be32(pkt + 4), 0xCAFEBABE);
            EXPECT_EQ(be32(pkt + 8), 0x11223344u);
        }
        EXPECT_EQ(track.packets, units.size());
    }
}

TEST(SimRtpTest, SequenceGapFaultLeavesOutOneNumberAfterEveryN) {
    RtpTrack track;
    track.next_seq = 65533;
    track.gap_every = 3;
    std::vector<uint16_t> seqs;
    const uint8_t byte = 0x41;
    for (int i = 0; i < 7; ++i) {
        MediaUnit u = rtpUnit(track, false, 0, nullptr, 0, &byte, 1);
        seqs.push_back(be16(u.data() + 6));
    }
    EXPECT_EQ(seqs, (std::vector<uint16_t>{65533, 65534, 65535, 1, 2, 3, 5}));
    EXPECT_EQ(track.gaps, 2u);
}

TEST(SimRtpTest, SenderReportCarriesTheNtpTimeAtBytes8To15) {
    RtpTrack track;
    track.interleaved = 2;
    track.ssrc = 0xA1B2C3D4;
    track.packets = 77;
    track.octets = 12320;
    const uint64_t ntp = uint64_t(1796977800u + kNtpUnixOffset) << 32 | 0x80000000u;
    MediaUnit u = senderReport(track, ntp, 123456);
    ASSERT_EQ(u.size(), 4 + kSenderReportSize);
    EXPECT_EQ(u[0], '$');
    EXPECT_EQ(u[1], 3);  // RTCP beside RTP channel 2
    EXPECT_EQ(be16(&u[2]), kSenderReportSize);
    const uint8_t* p = u.data() + 4;
    EXPECT_EQ(p[0], 0x80);
    EXPECT_EQ(p[1], 200);
    EXPECT_EQ(be16(p + 2), 6);  // 32-bit words minus one
    EXPECT_EQ(be32(p + 4), 0xA1B2C3D4);
    EXPECT_EQ(be32(p + 8) - kNtpUnixOffset, 1796977800u);
    EXPECT_EQ(be32(p + 12), 0x80000000u);
    EXPECT_EQ(be32(p + 16), 123456u);
    EXPECT_EQ(be32(p + 20), 77u);
    EXPECT_EQ(be32(p + 24), 12320u);
}

TEST(SimAudioToneTest, MuLawRoundTripsThroughTheClientsExpansion) {
    EXPECT_EQ(linearToMuLaw(0), 0xFF);
    EXPECT_EQ(linearToMuLaw(32767), 0x80);
    EXPECT_EQ(linearToMuLaw(-32768), 0x00);
    int previous = -40000;
    for (int x = -32768; x <= 32767; x += 3) {
        const int back = muLawToLinear(linearToMuLaw(int16_t(x)));
        // Within half a quantisation step: a segment starts at 2^(e+7) - 132 (the bias) and
        // its steps are 2^(e+3). Clipped at the top.
        const int clipped = std::clamp(x, -32635, 32635);
        ASSERT_LE(std::abs(back - clipped), (std::abs(clipped) + 132) / 32 + 1) << x;
        ASSERT_GE(back, previous) << x;  // monotonic
        previous = back;
    }
}

TEST(SimAudioToneTest, ChannelToneHasItsPitchAndLevel) {
    for (int ch : {0, 3, 15}) {
        SCOPED_TRACE(ch);
        const std::vector<uint8_t> tone = muLawTone(toneHz(ch));
        ASSERT_EQ(tone.size(), size_t(kAudioRate));
        int crossings = 0, peak = 0;
        int prev = muLawToLinear(tone.back());
        for (uint8_t b : tone) {
            const int s = muLawToLinear(b);
            crossings += (prev < 0) != (s < 0);
            peak = std::max(peak, std::abs(s));
            prev = s;
        }
        EXPECT_NEAR(crossings, 2 * toneHz(ch), 2);  // one second of it
        EXPECT_NEAR(peak, 0.25 * 32767, 0.25 * 32767 * 0.05);
    }
}

}  // namespace
}  // namespace zaq::sim
