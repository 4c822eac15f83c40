// Reading request headers and URLs, and composing text replies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zaq::sim {

// The value of the first header line named `name` (case-insensitive), without the spaces
// around it. The request line is never taken for a field.
std::optional<std::string_view> headerField(std::string_view header, std::string_view name);

struct RequestLine {
    std::string method;
    std::string url;
    std::string version;
    bool valid = false;  // "METHOD URL RTSP/x.y"
};
RequestLine parseRequestLine(std::string_view header);

// "rtsp://host[:port][/Live|Playback|Backup][/Channel=k][/control]"
struct RtspUrl {
    bool valid = false;  // starts with rtsp:// and has a host
    std::string host;
    int port = -1;        // -1 = none or not a port number
    int kind = -1;        // 0 Playback, 1 Live, 2 Backup, -1 = no path word
    int channel = -1;     // -1 = no Channel=k segment (or k not a number from 0 to 255)
    std::string control;  // the last other path segment, e.g. "video"
};
RtspUrl parseRtspUrl(std::string_view url);
const char* kindWord(int kind);  // "Playback", "Live", "Backup"; "" otherwise

// A decimal number of at most `max_digits` digits, for the values echoed back (CSeq, Session):
// anything else is not repeated to the client.
bool isDecimal(std::string_view text, size_t max_digits);

// A reply: the status line, "CSeq" when the request had one, the lines added in order, and a
// "Content-Length" line as the last header line when there is a body.
class ReplyBuilder {
  public:
    ReplyBuilder(int status, std::string_view reason, std::optional<std::string_view> cseq);
    ReplyBuilder& line(std::string_view name, std::string_view value);
    std::vector<uint8_t> finish(const std::vector<uint8_t>& body = {}) const;

  private:
    std::string text_;
};

}  // namespace zaq::sim
