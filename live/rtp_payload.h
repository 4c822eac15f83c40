// The RTP payload assembler apart from its session: rebuilds the Annex B access units of one
// video frame from its queued RTP packets. LiveSession::rtpPayloadTProc2 runs it with the
// slot's stream buffer as the store; benchmarks run it alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace zaq {

struct tPAYLOAD_BUFFER;

// Bytes of a slot's output area; a frame that does not fit in it is dropped.
constexpr size_t kAssemblyBytes = 786432;

// Takes one complete access unit, `size` bytes at the start of the output area; `fragmented`
// when it holds a slice rebuilt from fragmentation units.
using AccessUnitStore = std::function<void(size_t size, bool fragmented)>;

// Rebuilds the access units of one frame from `count` queued RTP packets (each with its
// 12-byte header) in `out` (kAssemblyBytes) and hands each to `store`. `payloadType` picks
// the codec (96 H.264, 98 H.265). `findSps` is the slot's stream-start flag: set by the
// stream's first SPS (H.264) or VPS (H.265), cleared whenever a frame is broken off.
// `slot` only names the channel in log lines. Receive thread.
void assembleRtpFrame(int slot, uint8_t payloadType, std::atomic<uint8_t>& findSps,
                      const tPAYLOAD_BUFFER* list, int count, uint8_t* out,
                      const AccessUnitStore& store);

}  // namespace zaq
