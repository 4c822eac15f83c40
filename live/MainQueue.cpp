#include "live/MainQueue.h"

#include <algorithm>

namespace zaq {

struct HeadlessLoop::Timer {
    std::chrono::milliseconds interval;
    std::chrono::steady_clock::time_point next;
    std::function<void()> fn;
    bool valid = true;
};

class HeadlessLoop::TimerHandle : public RepeatingTimer {
public:
    explicit TimerHandle(std::shared_ptr<Timer> t) : m_timer(std::move(t)) {}
    ~TimerHandle() override { invalidate(); }
    void invalidate() override { m_timer->valid = false; }
    bool isValid() const override { return m_timer->valid; }

private:
    std::shared_ptr<Timer> m_timer;
};

HeadlessLoop::HeadlessLoop() = default;
HeadlessLoop::~HeadlessLoop() = default;

void HeadlessLoop::post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_work.push_back(std::move(fn));
    }
    m_wake.notify_one();
}

std::unique_ptr<RepeatingTimer> HeadlessLoop::scheduleTimer(std::chrono::milliseconds interval,
                                                            std::function<void()> fn) {
    auto t = std::make_shared<Timer>();
    t->interval = interval;
    t->next = std::chrono::steady_clock::now() + interval;
    t->fn = std::move(fn);
    m_timers.push_back(t);
    return std::make_unique<TimerHandle>(t);
}

void HeadlessLoop::quit() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_quit = true;
    }
    m_wake.notify_one();
}

bool HeadlessLoop::runUntil(std::chrono::steady_clock::time_point deadline) {
    return runUntilTrue([] { return false; },
                        std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now()));
}

bool HeadlessLoop::runUntilTrue(const std::function<bool()>& pred, std::chrono::milliseconds span) {
    auto deadline = std::chrono::steady_clock::now() + span;
    for (;;) {
        if (pred()) return true;
        auto now = std::chrono::steady_clock::now();
        // Timers that are due, in order; a timer may invalidate itself or others.
        m_timers.erase(std::remove_if(m_timers.begin(), m_timers.end(),
                                      [](const auto& t) { return !t->valid; }),
                       m_timers.end());
        auto due = m_timers;
        for (auto& t : due) {
            if (t->valid && t->next <= now) {
                t->next += t->interval;
                if (t->next <= now) t->next = now + t->interval;
                t->fn();
            }
        }
        if (pred()) return true;
        auto wakeAt = deadline;
        for (auto& t : m_timers) {
            if (t->valid) wakeAt = std::min(wakeAt, t->next);
        }
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_wake.wait_until(lock, wakeAt, [&] { return m_quit || !m_work.empty(); });
            if (m_quit) {
                m_quit = false;
                return true;
            }
            if (!m_work.empty()) {
                job = std::move(m_work.front());
                m_work.pop_front();
            }
        }
        if (job) job();
        if (std::chrono::steady_clock::now() >= deadline) return pred();
    }
}

}  // namespace zaq
