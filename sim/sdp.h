// The stream description of a DESCRIBE reply.
#pragma once

#include <string>

#include "sim/sim_options.h"

namespace zaq::sim {

constexpr int kPayloadTypeH264 = 96;
constexpr int kPayloadTypeH265 = 98;
constexpr int kPayloadTypePcmu = 0;

// One m=video section (control "video") and, when audio is on, one m=audio section (control
// "audio"). Clients take every "control:" value in order as a SETUP URL tail and keep at most
// four of them in a 1 KiB area, so the text has exactly one control line per stream and stays
// well below 1 KiB.
std::string describeStreams(const SimOptions& options, uint32_t session_id, int channel);

}  // namespace zaq::sim
