// Encoded loops shared by every simulator of the process: a second DVR with the same codec,
// size, rate, GOP, bit rate and loop length reuses the first one's pictures instead of encoding
// them again. Bounded by bytes; the least recently used loops go first, and a loop still in use
// lives on with its users after it has left the cache.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>

#include "sim/video_loop.h"

namespace zaq::sim {

class LoopCache {
  public:
    static constexpr size_t kDefaultBudget = 256u << 20;

    explicit LoopCache(size_t budget = kDefaultBudget) : budget_(budget) {}

    // The process-wide cache.
    static LoopCache& shared();

    // The loop of `spec`, or null when none is cached. Any thread.
    std::shared_ptr<const VideoLoop> find(const VideoLoopSpec& spec);
    // Keeps `loop` (replacing one of the same spec), then drops the oldest loops while the
    // total is over the budget; a loop larger than the whole budget is not kept. Any thread.
    void put(std::shared_ptr<const VideoLoop> loop);

    size_t bytes() const;
    size_t size() const;

  private:
    const size_t budget_;
    // --- Protected by mu_: most recently used first
    mutable std::mutex mu_;
    std::list<std::shared_ptr<const VideoLoop>> loops_;
    size_t bytes_ = 0;
};

}  // namespace zaq::sim
