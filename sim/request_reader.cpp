#include "sim/request_reader.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "protocol/wire.h"
#include "sim/rtsp_message.h"

namespace zaq::sim {

namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

}  // namespace

void RequestReader::feed(const uint8_t* data, size_t size) {
    // Drop consumed bytes before growing, so the buffer holds one unfinished unit at most.
    if (pos_ > 0 && (pos_ == buf_.size() || pos_ >= 64 * 1024)) {
        buf_.erase(buf_.begin(), buf_.begin() + std::ptrdiff_t(pos_));
        pos_ = 0;
    }
    buf_.insert(buf_.end(), data, data + size);
}

RequestReader::Status RequestReader::next(InboundUnit& out) {
    // Line ends between requests are not units.
    while (pos_ < buf_.size() && (buf_[pos_] == '\r' || buf_[pos_] == '\n')) {
        ++pos_;
        scan_ = 0;
    }
    const uint8_t* p = buf_.data() + pos_;
    const size_t avail = buf_.size() - pos_;
    if (avail == 0) return Status::NeedMore;

    // '$' | channel | length (big-endian 16) | data
    if (p[0] == '$') {
        if (avail < 4) return Status::NeedMore;
        size_t total = interleavedUnitSize(wire::rdBE16(p + 2));
        if (avail < total) return Status::NeedMore;
        out = InboundUnit{};
        out.kind = InboundUnit::Kind::Interleaved;
        out.channel = p[1];
        out.body.assign(p, p + std::min(total, kKeptInterleavedBytes));
        pos_ += total;
        scan_ = 0;
        return Status::Unit;
    }

    std::string_view text(reinterpret_cast<const char*>(p), std::min(avail, kMaxHeader));
    size_t from = scan_ >= kHeaderEnd.size() ? scan_ - (kHeaderEnd.size() - 1) : 0;
    size_t end = text.find(kHeaderEnd, from);
    if (end == std::string_view::npos) {
        scan_ = text.size();
        return avail >= kMaxHeader ? Status::Overflow : Status::NeedMore;
    }
    const size_t header_size = end + kHeaderEnd.size();
    std::string_view header = text.substr(0, header_size);

    size_t body_size = 0;
    if (auto cl = headerField(header, "Content-Length")) {
        auto [ptr, ec] = std::from_chars(cl->data(), cl->data() + cl->size(), body_size);
        if (ec != std::errc() || ptr != cl->data() + cl->size() || body_size > kMaxBody) {
            return Status::BadLength;
        }
    }
    if (avail < header_size + body_size) {
        scan_ = end;  // the header end stays where it is; only the body is missing
        return Status::NeedMore;
    }
    out = InboundUnit{};
    out.kind = InboundUnit::Kind::Request;
    out.header = std::string(header);
    out.body.assign(p + header_size, p + header_size + body_size);
    pos_ += header_size + body_size;
    scan_ = 0;
    return Status::Unit;
}

}  // namespace zaq::sim
