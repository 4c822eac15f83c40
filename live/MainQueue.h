// The main-thread queue through which session threads reach their controller's window side:
// post work, and repeating timers. The Qt side runs it from the event loop; headless code
// (command-line client, tests) runs a HeadlessLoop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace zaq {

class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
    // Stops the timer; its function is not called afterwards. Main thread.
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
};

class MainQueue {
public:
    virtual ~MainQueue() = default;
    // Runs fn on the main thread later, in posting order. Any thread.
    virtual void post(std::function<void()> fn) = 0;
    // Calls fn on the main thread every interval until invalidated. Main thread.
    virtual std::unique_ptr<RepeatingTimer> scheduleTimer(std::chrono::milliseconds interval,
                                                          std::function<void()> fn) = 0;
};

// A main loop without a toolkit: the thread that calls run*() is the main thread.
class HeadlessLoop : public MainQueue {
public:
    HeadlessLoop();
    ~HeadlessLoop() override;
    void post(std::function<void()> fn) override;
    std::unique_ptr<RepeatingTimer> scheduleTimer(std::chrono::milliseconds interval,
                                                  std::function<void()> fn) override;

    // Runs posted work and timers until `deadline` or quit(); returns false on the deadline.
    bool runUntil(std::chrono::steady_clock::time_point deadline);
    bool runFor(std::chrono::milliseconds span) {
        return runUntil(std::chrono::steady_clock::now() + span);
    }
    // Runs until pred() holds (checked after each piece of work) or the span is over.
    bool runUntilTrue(const std::function<bool()>& pred, std::chrono::milliseconds span);
    // Makes the running run*() return. Any thread.
    void quit();

private:
    struct Timer;
    class TimerHandle;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;  // --- Protected by m_lock
    bool m_quit = false;                        // --- Protected by m_lock
    std::vector<std::shared_ptr<Timer>> m_timers;  // main thread only
};

}  // namespace zaq
