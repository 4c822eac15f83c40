// Bytes waiting to go out on one connection.
//
// Any thread may push (the connection's own thread its replies, media threads their packets);
// only the connection's thread pops and writes. Replies are never dropped: the connection stops
// reading requests while its reply backlog is large, which bounds them. Media units are dropped
// once the media budget is spent, so a client that reads slowly loses its own frames and never
// holds up the other connections or the thread that produces media.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "sim/wake_pipe.h"

namespace zaq::sim {

class OutputQueue {
  public:
    static constexpr size_t kDefaultMediaBudget = 4u << 20;

    explicit OutputQueue(size_t media_budget = kDefaultMediaBudget);
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Queues a reply. False only once the queue is closed. Any thread.
    bool pushControl(std::vector<uint8_t> bytes);
    // Queues one media unit (an interleaved packet). False when it was dropped because the
    // budget is spent or the queue is closed. Any thread; never blocks on the socket.
    bool pushMedia(std::vector<uint8_t> unit);

    // Takes the oldest unit. False when empty. Connection thread only.
    bool pop(std::vector<uint8_t>& out);
    bool empty() const;
    size_t controlBytes() const;  // replies queued and not yet popped
    uint64_t droppedMedia() const { return dropped_media_.load(); }

    // Refuses every later push and frees what is queued. Connection thread, as it ends.
    void close();

    // A descriptor that turns readable after a push or wake(); the connection polls it.
    int waitFd() const { return wake_.readFd(); }
    // Wakes the connection's poll (used by pushes and by stop requests). Any thread.
    void wake() { wake_.wake(); }
    // Empties the wake-up pipe after a poll saw it readable. Connection thread.
    void drainWakeups() { wake_.drain(); }

  private:
    struct Item {
        std::vector<uint8_t> bytes;
        bool media;
    };

    const size_t media_budget_;
    WakePipe wake_;
    std::atomic<uint64_t> dropped_media_{0};

    // --- Protected by mu_
    mutable std::mutex mu_;
    std::deque<Item> items_;
    size_t control_bytes_ = 0;
    size_t media_bytes_ = 0;
    bool closed_ = false;
};

}  // namespace zaq::sim
