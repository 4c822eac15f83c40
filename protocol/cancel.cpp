#include "protocol/cancel.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace zaq {
namespace {
thread_local const std::atomic<bool>* t_cancelFlag = nullptr;
}

void setCurrentCancelFlag(const std::atomic<bool>* flag) { t_cancelFlag = flag; }

bool currentThreadCancelled() { return t_cancelFlag && t_cancelFlag->load(); }

bool sleepUnlessCancelled(int ms) {
    while (ms > 0) {
        if (currentThreadCancelled()) return false;
        int step = std::min(ms, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(step));
        ms -= step;
    }
    return !currentThreadCancelled();
}

void sleepMs(double ms) {
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(ms * 1000)));
}

}  // namespace zaq
