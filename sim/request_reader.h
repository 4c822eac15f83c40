// Splits the bytes a client sends into units: text requests (header up to CR LF CR LF, then a
// body of Content-Length bytes) and interleaved units ('$', channel, big-endian length, data).
//
// Everything here is untrusted. Headers and bodies have caps, and a unit that breaks them ends
// the connection instead of growing the buffer; the buffer therefore never holds more than one
// unfinished unit plus one read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zaq::sim {

struct InboundUnit {
    enum class Kind { Request, Interleaved };
    Kind kind = Kind::Request;
    std::string header;         // Request: text up to and including CR LF CR LF
    std::vector<uint8_t> body;  // Request: Content-Length bytes. Interleaved: the whole unit,
                                // prefix included, cut to kKeptInterleavedBytes
    uint8_t channel = 0;        // Interleaved only
};

class RequestReader {
  public:
    static constexpr size_t kMaxHeader = 8 * 1024;
    static constexpr size_t kMaxBody = 64 * 1024;
    static constexpr size_t kKeptInterleavedBytes = 256;

    enum class Status {
        Unit,      // `out` holds the next unit
        NeedMore,  // the next unit has not fully arrived
        Overflow,  // a header without end within kMaxHeader bytes
        BadLength  // a Content-Length that is not a number or exceeds kMaxBody
    };

    // Appends received bytes.
    void feed(const uint8_t* data, size_t size);
    // Takes the next complete unit. After Overflow or BadLength the stream cannot be framed
    // again and the caller drops the connection.
    Status next(InboundUnit& out);
    size_t buffered() const { return buf_.size() - pos_; }

  private:
    std::vector<uint8_t> buf_;
    size_t pos_ = 0;   // first unconsumed byte
    size_t scan_ = 0;  // where the search for the header end goes on (relative to pos_)
};

// The 4-byte unit the client sends as a keep-alive announces a length of 4 but carries no data.
// No RTCP packet is shorter than 8 bytes, so a shorter announced length can only be that frame:
// it is taken as a bare prefix.
constexpr size_t interleavedUnitSize(uint16_t announced) {
    return announced < 8 ? 4 : 4 + size_t(announced);
}

}  // namespace zaq::sim
