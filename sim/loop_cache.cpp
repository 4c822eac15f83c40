#include "sim/loop_cache.h"

namespace zaq::sim {

LoopCache& LoopCache::shared() {
    // Never destroyed: simulators may still run while static objects go away at exit.
    static LoopCache* cache = new LoopCache();
    return *cache;
}

std::shared_ptr<const VideoLoop> LoopCache::find(const VideoLoopSpec& spec) {
    std::lock_guard lock(mu_);
    for (auto it = loops_.begin(); it != loops_.end(); ++it) {
        if ((*it)->spec == spec) {
            loops_.splice(loops_.begin(), loops_, it);
            return loops_.front();
        }
    }
    return nullptr;
}

void LoopCache::put(std::shared_ptr<const VideoLoop> loop) {
    if (!loop || loop->bytes > budget_) return;
    std::lock_guard lock(mu_);
    for (auto it = loops_.begin(); it != loops_.end(); ++it) {
        if ((*it)->spec == loop->spec) {
            bytes_ -= (*it)->bytes;
            loops_.erase(it);
            break;
        }
    }
    bytes_ += loop->bytes;
    loops_.push_front(std::move(loop));
    while (bytes_ > budget_) {
        bytes_ -= loops_.back()->bytes;
        loops_.pop_back();
    }
}

size_t LoopCache::bytes() const {
    std::lock_guard lock(mu_);
    return bytes_;
}

size_t LoopCache::size() const {
    std::lock_guard lock(mu_);
    return loops_.size();
}

}  // namespace zaq::sim
