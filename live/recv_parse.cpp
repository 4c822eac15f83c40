#include "live/recv_parse.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "live/rtp_payload.h"
#include "protocol/log.h"

namespace zaq {

RecvSlot::RecvSlot() : buffer(new uint8_t[kRecvBuffer]), assembly(new uint8_t[kAssemblyBytes]) {}

size_t RecvSlot::makeRoom(size_t incoming) {
    if (readPos > 0 && (incoming + held > kCompactAbove || readPos == held)) {
        std::memmove(buffer.get(), buffer.get() + readPos, held - readPos);
        held -= readPos;
        readPos = 0;
    }
    return kRecvBuffer - held;
}

ReplyFrame frameReply(int ch, const uint8_t* unit, size_t avail) {
    size_t headerLen = findHeaderEnd(unit, std::min(avail, kHeaderArea));
    if (headerLen == 0) {
        if (avail >= kHeaderArea) {
            // Longer than any reply header of the protocol: skip it as garbage.
            zlog("[ ch:%d ] reply header over %zu bytes dropped", ch, kHeaderArea);
            return {UnitAction::Consume, 1, 0};
        }
        zlog("Not found end of packet!!!\n");
        return {UnitAction::Wait, 0, 0};
    }
    long cl = headerContentLength(reinterpret_cast<const char*>(unit), headerLen);
    if (cl > long(kRecvBuffer) - long(headerLen)) {
        zlog("[ ch:%d ] reply body of %ld bytes refused", ch, cl);
        return {UnitAction::Consume, headerLen, 0};
    }
    return {UnitAction::End, headerLen, cl > 0 ? size_t(cl) : 0};
}

const char* loginLogText(int result) {
    switch (result) {
        case -1:
            return "Invalid device or wrong channel...";
        case -2:
            return "ID is incorrect...";
        case -3:
            return "Password is incorrect...";
        case -4:
            return "Max client connection...";
        case -5:
            return "Local priority user access...";
        case -6:
            return "Remote priority user access...";
        case -7:
            return "Client access off...";
        default:
            return "Unsupported DVR...";
    }
}

size_t findUnitStart(const uint8_t* buf, size_t from, size_t held) {
    for (size_t p = from; p < held; ++p) {
        if (buf[p] == 'R' && held - p >= 4 && std::memcmp(buf + p, "RTSP", 4) == 0) return p;
        if (buf[p] == '$' && held - p >= 2 && buf[p + 1] <= 3) return p;
    }
    return size_t(-1);
}

size_t findHeaderEnd(const uint8_t* unit, size_t avail) {
    const void* p = memmem(unit, avail, "\r\n\r\n", 4);
    return p ? size_t(static_cast<const uint8_t*>(p) - unit) + 4 : 0;
}

long headerContentLength(const char* header, size_t length) {
    const void* p = memmem(header, length, "Content-Length: ", 16);
    if (!p) return 0;
    const char* digits = static_cast<const char*>(p) + 16;
    const char* end = header + length;
    std::string value;
    while (digits < end && *digits != '\r' && *digits != '\n' && value.size() < 24) {
        value += *digits++;
    }
    return std::strtol(value.c_str(), nullptr, 10);
}

bool sequenceGap(int32_t last, int32_t seq) {
    if (seq - last >= 2) return true;
    // A lower number after a high one has wrapped when the step forward, modulo 2^16, is
    // shorter than half the range; otherwise it is a step back.
    uint16_t step = uint16_t(seq - last);
    return seq < last && step >= 2 && step < 0x8000;
}

void parseSdpControls(const uint8_t* body, size_t length, SESSION_DESCRIPTION_PROTOCOL& sdp) {
    sdp.cur_field = 0;
    sdp.field_count = 0;
    const char* text = reinterpret_cast<const char*>(body);
    const char* end = text + length;
    const char* p = text;
    while (p < end && sdp.field_count < kMaxControls) {
        const void* hit = memmem(p, size_t(end - p), "control:", 8);
        if (!hit) break;
        const char* from = static_cast<const char*>(hit) + 8;
        const char* to = from;
        while (to < end && *to != '\r' && *to != '\n') {
            ++to;
        }
        char* dst = sdp.control[sdp.field_count];
        size_t n = std::min(size_t(to - from), size_t(kTextSize - 1));
        std::memset(dst, 0, kTextSize);
        std::memcpy(dst, from, n);
        ++sdp.field_count;
        p = to;
    }
}

}  // namespace zaq
