// The binary command block carried by GET_PARAMETER requests and replies, and the DVR's answer
// to every command it knows.
//
//   0      4        8     9    10        11   12        16
//   +------+--------+-----+----+---------+----+---------+---------
//   | ZAQC | length | code| b9 | version | 0  | session | payload
//   +------+--------+-----+----+---------+----+---------+---------
//   length and session little-endian; a reply's byte 16 is its signed result (0 = ok).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/connection_info.h"
#include "sim/sim_options.h"

namespace zaq::sim {

constexpr size_t kBlockHeaderSize = 16;
constexpr size_t kLoginTextSize = 20;  // user ID at 16, password at 36, zero padded
constexpr size_t kTitleSize = 50;      // camera title at 16 of the channel-name reply
constexpr size_t kStatusSize = 20;     // keep-alive status record at 20

// A received block; reads beyond its end give 0, as for any short block from the network.
struct BlockView {
    const uint8_t* data = nullptr;
    size_t size = 0;

    uint8_t byte(size_t off) const { return off < size ? data[off] : 0; }
    uint32_t le32(size_t off) const;
    bool hasMagic() const;  // "ZAQC" at 0 and room for the code byte
};

struct CommandContext {
    const SimOptions& options;
    ConnectionInfo& state;  // the connection's; commands record what they were asked
    int64_t seconds_open;   // age of the connection, reported as live time
};

// The reply block to a request block, header included; empty when the command is unknown (the
// caller then answers without a body). Writes what the command asks into ctx.state.
std::vector<uint8_t> answerCommand(const CommandContext& ctx, const BlockView& request);

// The 20-byte status record of the keep-alive reply: live_time (int32), video, select, sensor,
// motion, audio, alarm, record, covert (uint8), hdd_space (int32), livestreamtype, sslHigh,
// sslLow, reserved3 (uint8). The secure web port travels big-endian in sslHigh/sslLow.
void encodeStatus(const CommandContext& ctx, uint8_t out[kStatusSize]);

}  // namespace zaq::sim
