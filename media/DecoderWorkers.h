// One decoder worker per channel slot: takes access units from the slot's stream buffer,
// decodes them (H.264 or H.265) and converts each picture to packed RGB24 of the decoded size
// for the renderer. A channel that had video and stays silent for more than 30 s goes back to
// the logo.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/StreamObject.h"

namespace zaq {

class ChannelView;

// The newest complete picture of a slot. The worker converts into a private buffer and swaps
// it in under the lock, so the renderer never sees a half-written picture.
struct SlotPicture {
    std::mutex lock;
    std::vector<uint8_t> rgb;  // --- Protected by lock (with the three fields below)
    int width = 0, height = 0, lineSize = 0;
    uint64_t serial = 0;  // grows with every new picture
};

class DecoderWorkers {
public:
    using SecondsClock = std::function<int64_t()>;
    using ViewOf = std::function<ChannelView*(int slot)>;

    // The session whose stream buffers feed the workers; the views get the logo.
    DecoderWorkers(StreamObject& session, ViewOf viewOf, SecondsClock clock = {});
    ~DecoderWorkers();

    // Stops any running workers, then starts one for each slot 0 to count - 1. Main thread or
    // comm thread.
    void startDecoderThreads(int count);
    // Stops and joins the workers of slots 0 to count - 1. Returns within a few 10 ms passes.
    void stopDecoderThreads(int count);

    SlotPicture& picture(int slot) { return m_pictures[size_t(slot)]; }
    // Size of the last picture; 0 when none, or after the fall-back to the logo.
    std::array<std::atomic<int>, kMaxSlots> cur_width, cur_height;
    // Pictures decoded per slot since the workers started.
    std::array<std::atomic<uint64_t>, kMaxSlots> framesDecoded;

private:
    void decoderTProc(int slot);

    StreamObject& m_session;
    ViewOf m_viewOf;
    SecondsClock m_clock;
    std::array<std::thread, kMaxSlots> decoderThreads;
    std::array<std::atomic<uint8_t>, kMaxSlots> bDecThxStop;
    std::array<SlotPicture, kMaxSlots> m_pictures;
};

}  // namespace zaq
