#include "live/SessionThread.h"

#include <pthread.h>

#include <chrono>

#include "protocol/cancel.h"

namespace zaq {

SessionThread::SessionThread(std::string name, std::function<void()> proc)
    : m_name(std::move(name)) {
    m_thread = std::thread([this, proc = std::move(proc)] {
        pthread_setname_np(pthread_self(), m_name.substr(0, 15).c_str());
        setCurrentCancelFlag(&m_cancelled);
        proc();
        setCurrentCancelFlag(nullptr);
        m_finished = true;
    });
}

SessionThread::~SessionThread() {
    join();
    if (m_thread.joinable()) m_thread.detach();  // only when destroyed from its own thread
}

void SessionThread::join() {
    std::lock_guard<std::mutex> lock(m_joinLock);
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void ThreadRef::start(std::function<void()> proc) {
    stop();
    auto thread = std::make_shared<SessionThread>(m_name, std::move(proc));
    std::lock_guard<std::mutex> lock(m_lock);
    m_thread = std::move(thread);
}

void ThreadRef::stop() {
    std::shared_ptr<SessionThread> thread;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        thread = m_thread;
    }
    if (!thread) return;
    thread->cancel();
    thread->join();
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_thread == thread) m_thread.reset();
}

void ThreadRef::wait() {
    for (;;) {
        auto thread = get();
        if (!thread || thread->isFinished()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (thread->isCancelled()) return;
    }
}

std::shared_ptr<SessionThread> ThreadRef::get() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_thread;
}

bool ThreadRef::running() const {
    auto thread = get();
    return thread && !thread->isFinished();
}

}  // namespace zaq
