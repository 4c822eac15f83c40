// The thread helper of every session thread: a named thread with a cancel flag and a finished
// flag, held by a ThreadRef that offers the start / stop / wait triple.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zaq {

class SessionThread {
public:
    // Starts `proc` at once on a new thread named `name` (at most 15 characters are shown).
    SessionThread(std::string name, std::function<void()> proc);
    // Joins; the procedure must have been asked to end (cancel) or be ending by itself.
    ~SessionThread();

    void cancel() { m_cancelled = true; }
    bool isCancelled() const { return m_cancelled; }
    bool isFinished() const { return m_finished; }
    const std::string& name() const { return m_name; }
    // Waits for the procedure to return; a no-op on the thread itself or after a join.
    void join();

private:
    std::string m_name;
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_finished{false};
    std::mutex m_joinLock;
    std::thread m_thread;
};

// One thread reference of a controller (comm, receive, send, render ...). Main thread and
// session threads may call it; the reference itself is guarded by a lock.
class ThreadRef {
public:
    explicit ThreadRef(const char* name) : m_name(name) {}
    ~ThreadRef() { stop(); }

    // Stops any thread of this kind, then starts proc on a new one.
    void start(std::function<void()> proc);
    // Requests cancellation and joins. Every procedure tests its cancel flag at least every
    // 0.5 s and every wait inside the engine is sliced, so the join is short; called from the
    // thread itself it only cancels.
    void stop();
    // Returns when no thread runs or it finished, or one 0.1 s pause after it was cancelled.
    void wait();
    // The running thread, or null.
    std::shared_ptr<SessionThread> get() const;
    bool running() const;

private:
    const char* m_name;
    mutable std::mutex m_lock;
    std::shared_ptr<SessionThread> m_thread;  // --- Protected by m_lock
};

}  // namespace zaq
