// The recordings a simulated DVR serves to backup connections: see createBackupMediaFeed in
// sim/media_feed.h. Kept in its own header for the pieces tests look at.
#pragma once

#include <cstdint>

namespace zaq::sim {

// The NTP seconds word of the sender report that says a channel has no recording.
constexpr uint32_t kBackupEndMarker = 0x73746174;

// Frames a backup of `seconds` of recording at `fps` sends: one per frame period from the start
// of the range, the range's end not included.
inline int64_t backupFrameCount(int64_t seconds, int fps) {
    return seconds > 0 && fps > 0 ? seconds * fps : 0;
}

}  // namespace zaq::sim
