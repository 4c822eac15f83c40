#include "ui/widgets/QtMainQueue.h"

#include <QTimer>

namespace zaq {
namespace {

class QtRepeatingTimer : public RepeatingTimer {
  public:
    QtRepeatingTimer(std::chrono::milliseconds interval, std::function<void()> fn) {
        m_timer.setInterval(interval);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [fn = std::move(fn)] { fn(); });
        m_timer.start();
    }
    void invalidate() override { m_timer.stop(); }
    bool isValid() const override { return m_timer.isActive(); }

  private:
    QTimer m_timer;
};

}  // namespace

QtMainQueue::QtMainQueue(QObject* parent) : QObject(parent) {}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_work.push_back(std::move(fn));
        if (m_wakePosted) return;
        m_wakePosted = true;
    }
    // The wake-up carries no data of ours: the work itself crosses threads under m_lock.
    QMetaObject::invokeMethod(this, "drain", Qt::QueuedConnection);
}

void QtMainQueue::drain() {
    // One piece of work per wake-up, with the next wake-up posted before it runs: work that
    // opens a modal loop (an alert) does not hold back the rest, and the order stays.
    std::function<void()> fn;
    bool more;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_work.empty()) {
            m_wakePosted = false;
            return;
        }
        fn = std::move(m_work.front());
        m_work.pop_front();
        more = m_wakePosted = !m_work.empty();
    }
    if (more) QMetaObject::invokeMethod(this, "drain", Qt::QueuedConnection);
    fn();
}

std::unique_ptr<RepeatingTimer> QtMainQueue::scheduleTimer(std::chrono::milliseconds interval,
                                                           std::function<void()> fn) {
    return std::make_unique<QtRepeatingTimer>(interval, std::move(fn));
}

}  // namespace zaq
