#include "sim/rtsp_message.h"

#include <charconv>
#include <cstddef>

namespace zaq::sim {

namespace {

constexpr std::string_view kCrLf = "\r\n";

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool parseNumber(std::string_view text, int lo, int hi, int& out) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < lo || value > hi) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace

std::optional<std::string_view> headerField(std::string_view header, std::string_view name) {
    size_t start = header.find(kCrLf);  // skip the request line
    while (start != std::string_view::npos) {
        start += kCrLf.size();
        size_t end = header.find(kCrLf, start);
        std::string_view line = header.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        size_t colon = line.find(':');
        if (colon != std::string_view::npos && equalNoCase(trim(line.substr(0, colon)), name)) {
            return trim(line.substr(colon + 1));
        }
        start = end;
    }
    return std::nullopt;
}

RequestLine parseRequestLine(std::string_view header) {
    RequestLine out;
    std::string_view line = header.substr(0, header.find(kCrLf));
    size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos) {
        out.method = std::string(line.substr(0, 32));
        return out;
    }
    size_t sp2 = line.find(' ', sp1 + 1);
    out.method = std::string(line.substr(0, std::min<size_t>(sp1, 32)));
    if (sp2 == std::string_view::npos) return out;
    out.url = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
    out.version = std::string(line.substr(sp2 + 1));
    out.valid = sp1 > 0 && sp2 > sp1 + 1 && out.version.starts_with("RTSP/");
    return out;
}

const char* kindWord(int kind) {
    static const char* const kWords[] = {"Playback", "Live", "Backup"};
    return kind >= 0 && kind < 3 ? kWords[kind] : "";
}

RtspUrl parseRtspUrl(std::string_view url) {
    RtspUrl out;
    constexpr std::string_view kScheme = "rtsp://";
    if (url.size() < kScheme.size() || !equalNoCase(url.substr(0, kScheme.size()), kScheme)) {
        return out;
    }
    url.remove_prefix(kScheme.size());
    size_t slash = url.find('/');
    std::string_view authority = url.substr(0, slash);
    std::string_view path = slash == std::string_view::npos ? "" : url.substr(slash + 1);

    // A colon after the last ']' separates the port (a bracketed IPv6 host has colons inside).
    size_t colon = authority.rfind(':');
    size_t bracket = authority.rfind(']');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        parseNumber(authority.substr(colon + 1), 0, 65535, out.port);
        authority = authority.substr(0, colon);
    }
    out.host = std::string(authority);
    out.valid = !out.host.empty();

    while (!path.empty()) {
        size_t next = path.find('/');
        std::string_view seg = path.substr(0, next);
        path = next == std::string_view::npos ? "" : path.substr(next + 1);
        if (seg.empty()) continue;
        int kind = -1;
        for (int k = 0; k < 3; ++k) {
            if (equalNoCase(seg, kindWord(k))) kind = k;
        }
        constexpr std::string_view kChannel = "Channel=";
        if (kind >= 0) {
            out.kind = kind;
        } else if (seg.size() > kChannel.size() &&
                   equalNoCase(seg.substr(0, kChannel.size()), kChannel)) {
            parseNumber(seg.substr(kChannel.size()), 0, 255, out.channel);
        } else {
            out.control = std::string(seg.substr(0, 64));
        }
    }
    return out;
}

bool isDecimal(std::string_view text, size_t max_digits) {
    if (text.empty() || text.size() > max_digits) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

ReplyBuilder::ReplyBuilder(int status, std::string_view reason,
                           std::optional<std::string_view> cseq) {
    text_ = "RTSP/1.0 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
    if (cseq) line("CSeq", *cseq);
}

ReplyBuilder& ReplyBuilder::line(std::string_view name, std::string_view value) {
    text_.append(name).append(": ").append(value).append(kCrLf);
    return *this;
}

std::vector<uint8_t> ReplyBuilder::finish(const std::vector<uint8_t>& body) const {
    std::string head = text_;
    if (!body.empty()) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    head += "\r\n";
    std::vector<uint8_t> out(head.begin(), head.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace zaq::sim
