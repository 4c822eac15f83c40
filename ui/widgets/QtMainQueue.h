// The main-thread queue on the Qt event loop: work posted from any thread runs on the GUI thread
// in posting order; repeating timers are QTimers.
#pragma once

#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

#include "live/MainQueue.h"

namespace zaq {

class QtMainQueue : public QObject, public MainQueue {
    Q_OBJECT
  public:
    // Create on the GUI thread; posted work runs there. Every thread that posts must have ended
    // before the queue is destroyed; work still queued then is dropped.
    explicit QtMainQueue(QObject* parent = nullptr);
    ~QtMainQueue() override;

    // Any thread.
    void post(std::function<void()> fn) override;
    // GUI thread.
    std::unique_ptr<RepeatingTimer> scheduleTimer(std::chrono::milliseconds interval,
                                                  std::function<void()> fn) override;

  private:
    // Runs the oldest piece of posted work. GUI thread, from the event loop.
    Q_INVOKABLE void drain();

    // --- Protected by m_lock
    std::mutex m_lock;
    std::deque<std::function<void()>> m_work;
    bool m_wakePosted = false;  // a wake-up is in the event queue for the work held
};

}  // namespace zaq
