#include "sim/sdp.h"

namespace zaq::sim {

std::string describeStreams(const SimOptions& options, uint32_t session_id, int channel) {
    const bool h265 = options.codec == VideoCodec::H265;
    const std::string pt = std::to_string(h265 ? kPayloadTypeH265 : kPayloadTypeH264);
    std::string sdp;
    auto line = [&sdp](const std::string& text) { sdp += text + "\r\n"; };
    line("v=0");
    line("o=- " + std::to_string(session_id) + " 1 IN IP4 0.0.0.0");
    // Camera titles are not repeated here: they are the client's to show and may hold anything.
    line("s=DVR channel " + std::to_string(channel < 0 ? 0 : channel));
    line("t=0 0");
    line("m=video 0 RTP/AVP " + pt);
    line("c=IN IP4 0.0.0.0");
    line("a=rtpmap:" + pt + (h265 ? " H265/90000" : " H264/90000"));
    line("a=control:video");
    if (options.audio) {
        const std::string apt = std::to_string(kPayloadTypePcmu);
        line("m=audio 0 RTP/AVP " + apt);
        line("c=IN IP4 0.0.0.0");
        line("a=rtpmap:" + apt + " PCMU/8000");
        line("a=control:audio");
    }
    return sdp;
}

}  // namespace zaq::sim
