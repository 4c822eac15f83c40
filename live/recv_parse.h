// Framing helpers and per-connection state of the receive loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "protocol/records.h"

namespace zaq {

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

}  // namespace zaq
