// Framing helpers and per-connection state of the receive loops.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "protocol/records.h"

namespace zaq {

// Sizes and constants shared by the receive loops.
constexpr size_t kRecvBuffer = 512 * 1024;  // bytes held per connection
constexpr size_t kCompactAbove = 0x60000;   // compact before a read that would pass this
constexpr size_t kHeaderArea = 1024;        // a reply header longer than this is garbage
constexpr uint32_t kNtpToUnix = 2208988800u;
constexpr size_t kInterleavedPrefix = 4;  // '$', channel, 16-bit length
constexpr size_t kRtpHeaderBytes = 12;

// Last sequence number of a slot that has taken no video packet yet.
constexpr int32_t kNoSequence = -1;

// Bytes read from one connection and not yet consumed, and its frame state. Private to the
// receive thread.
struct RecvSlot {
    RecvSlot();
    std::unique_ptr<uint8_t[]> buffer;    // 512 KiB
    std::unique_ptr<uint8_t[]> assembly;  // 768 KiB output area of the payload assembler
    uint32_t held = 0;
    uint32_t readPos = 0;
    int32_t lastSeq = kNoSequence;
    int32_t payloadCount = 0;
    int32_t startFound = 0;
    uint32_t prevTs = 0;
    int32_t startTime = 0;
    int32_t frameInterval = 0;
    void dropAll() { held = readPos = 0; }
    // Moves the unread bytes to the front when a read of `incoming` bytes would pass the
    // compaction mark, or when everything held was read. Returns the room left for a read.
    size_t makeRoom(size_t incoming);
    // Forgets the frame in progress; the next frame must begin with a parameter set.
    void restartStream() {
        payloadCount = startFound = 0;
        lastSeq = kNoSequence;
    }
};

enum class UnitAction { Consume, Wait, DropAll, End };
struct UnitResult {
    UnitAction action;
    size_t consumed;
};
enum class ParseResult { Wait, End };

// The frame of a text reply at the front of the held bytes.
struct ReplyFrame {
    UnitAction action;  // Consume (skip `headerLen` bytes, garbage), Wait, or End: use it
    size_t headerLen;
    size_t body;  // Content-Length, 0 when absent or negative
};
// `ch` only labels the log lines.
ReplyFrame frameReply(int ch, const uint8_t* unit, size_t avail);

// The log text of a login result below zero.
const char* loginLogText(int result);

// What to consume of a reply whose rule does not read its body: the body too once it is all
// here, so that its binary bytes are never taken for the start of a unit (the reply to the
// live-transfer request sent just before PLAY meets the PLAY rule).
inline size_t headerAndHeldBody(size_t headerLen, size_t body, size_t avail) {
    return avail >= headerLen + body ? headerLen + body : headerLen;
}

// Takes every complete unit off the front of `rs`: `text` gets replies ("RTSP..."), `binary`
// interleaved units ('$'); both are called as (unit, avail) and return a UnitResult. Garbage
// before a unit start is skipped, a 3-byte tail that may begin one is kept.
template <typename TextFn, typename BinaryFn>
ParseResult parseUnits(RecvSlot& rs, TextFn&& text, BinaryFn&& binary);

// Offset of the next unit start at or after `from` ("RTSP", or '$' with a channel byte of 3
// or less), or size_t(-1) when none lies before `held`.
size_t findUnitStart(const uint8_t* buf, size_t from, size_t held);

// Length of the reply header including CR LF CR LF within the first `avail` bytes, 0 if absent.
size_t findHeaderEnd(const uint8_t* unit, size_t avail);

// "Content-Length: " value within a header (as atoi reads it; 0 when absent).
long headerContentLength(const char* header, size_t length);

// True when RTP sequence number `seq` following `last` means packets were lost: a step
// forward of 2 or more, also across the wrap from 65535 to 0 (65535 then 1 loses 0). A repeat
// or a step back is no loss.
bool sequenceGap(int32_t last, int32_t seq);

// Every "control:" of a stream description body, in order, up to the record's four controls.
void parseSdpControls(const uint8_t* body, size_t length, SESSION_DESCRIPTION_PROTOCOL& sdp);

template <typename TextFn, typename BinaryFn>
ParseResult parseUnits(RecvSlot& rs, TextFn&& text, BinaryFn&& binary) {
    while (rs.held - rs.readPos >= 4) {
        uint8_t* base = rs.buffer.get();
        size_t start = findUnitStart(base, rs.readPos, rs.held);
        if (start == size_t(-1)) {
            size_t keep = std::min<size_t>(3, rs.held - rs.readPos);
            std::memmove(base, base + rs.held - keep, keep);
            rs.held = uint32_t(keep);
            rs.readPos = 0;
            return ParseResult::Wait;
        }
        rs.readPos = uint32_t(start);
        const uint8_t* unit = base + start;
        size_t avail = rs.held - start;
        // A unit start found after skipped bytes may still lack its length field.
        if (avail < kInterleavedPrefix) return ParseResult::Wait;
        UnitResult r = unit[0] == 'R' ? text(unit, avail) : binary(unit, avail);
        if (r.action == UnitAction::End) return ParseResult::End;
        if (r.action == UnitAction::Wait) return ParseResult::Wait;
        if (r.action == UnitAction::DropAll) {
            rs.dropAll();
            return ParseResult::Wait;
        }
        rs.readPos += uint32_t(r.consumed);
        if (rs.readPos >= rs.held) rs.held = rs.readPos = 0;
    }
    return ParseResult::Wait;
}

}  // namespace zaq
