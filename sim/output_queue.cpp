#include "sim/output_queue.h"

namespace zaq::sim {

OutputQueue::OutputQueue(size_t media_budget) : media_budget_(media_budget) {}

bool OutputQueue::pushControl(std::vector<uint8_t> bytes) {
    {
        std::lock_guard lock(mu_);
        if (closed_) return false;
        control_bytes_ += bytes.size();
        items_.push_back({std::move(bytes), false});
    }
    wake();
    return true;
}

bool OutputQueue::pushMedia(std::vector<uint8_t> unit) {
    {
        std::lock_guard lock(mu_);
        if (closed_ || media_bytes_ + unit.size() > media_budget_) {
            dropped_media_.fetch_add(1);
            return false;
        }
        media_bytes_ += unit.size();
        items_.push_back({std::move(unit), true});
    }
    wake();
    return true;
}

bool OutputQueue::pop(std::vector<uint8_t>& out) {
    std::lock_guard lock(mu_);
    if (items_.empty()) return false;
    Item& item = items_.front();
    (item.media ? media_bytes_ : control_bytes_) -= item.bytes.size();
    out = std::move(item.bytes);
    items_.pop_front();
    return true;
}

bool OutputQueue::empty() const {
    std::lock_guard lock(mu_);
    return items_.empty();
}

size_t OutputQueue::controlBytes() const {
    std::lock_guard lock(mu_);
    return control_bytes_;
}

void OutputQueue::close() {
    std::lock_guard lock(mu_);
    closed_ = true;
    items_.clear();
    control_bytes_ = media_bytes_ = 0;
}

}  // namespace zaq::sim
