#include "sim/dvr_sim.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sim/connection.h"
#include "sim/listener.h"
#include "sim/media_feed.h"
#include "sim/wake_pipe.h"

namespace zaq::sim {

struct DvrSim::Impl {
    explicit Impl(SimOptions o)
        : options(std::move(o)),
          media(createBackupMediaFeed(options, options.media ? createStreamingMediaFeed(options)
                                                             : createNullMediaFeed())) {}

    void acceptLoop();
    void acceptPending();
    void notify();

    const SimOptions options;
    std::unique_ptr<MediaFeed> media;
    Transcript transcript;
    WakePipe wake;
    int listener = -1;
    std::atomic<uint16_t> bound_port{0};
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    bool started = false;  // owner thread only
    std::thread acceptor;

    // --- Protected by conns_mu
    mutable std::mutex conns_mu;
    std::vector<std::unique_ptr<Connection>> connections;

    // --- Protected by events_mu: bumped on every request and every connection change
    mutable std::mutex events_mu;
    mutable std::condition_variable events_cv;
    uint64_t generation = 0;
};

void DvrSim::Impl::notify() {
    {
        std::lock_guard lock(events_mu);
        ++generation;
    }
    events_cv.notify_all();
}

void DvrSim::Impl::acceptLoop() {
    while (!stopping) {
        pollfd fds[2] = {{listener, POLLIN, 0}, {wake.readFd(), POLLIN, 0}};
        int n = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, 200);
        if (stopping) break;
        if (n < 0 && errno != EINTR) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (fds[1].revents & POLLIN) wake.drain();
        if (fds[0].revents & POLLIN) acceptPending();
    }
}

void DvrSim::Impl::acceptPending() {
    for (;;) {
        int fd = acceptClient(listener);
        if (fd < 0) {
            // Out of descriptors or similar: leave the backlog for the next poll, but do not spin.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            return;
        }
        std::lock_guard lock(conns_mu);
        int open = 0;
        for (auto& c : connections) {
            if (c->finished()) {
                c->join();  // reap: its thread has ended or is about to
            } else {
                ++open;
            }
        }
        if (open >= options.max_connections) {
            ::close(fd);
            continue;
        }
        Connection::Hooks hooks{&transcript, media.get(), [this] { notify(); }};
        auto conn =
            std::make_unique<Connection>(int(connections.size()), fd, options, std::move(hooks));
        media->attach(conn->outlet());
        conn->start();
        connections.push_back(std::move(conn));
        notify();
    }
}

DvrSim::DvrSim(SimOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->transcript.setListener([impl = impl_.get()] { impl->notify(); });
}

DvrSim::~DvrSim() {
    stop();
}

bool DvrSim::start(std::string* error) {
    Impl& s = *impl_;
    std::string why;
    if (s.started) {
        if (error) *error = "the simulator was started before";
        return false;
    }
    uint16_t port = 0;
    s.listener = openListener(s.options.bind_address, s.options.port, port, why);
    if (s.listener < 0) {
        if (error) *error = why;
        return false;
    }
    if (!s.options.transcript_path.empty() &&
        !s.transcript.openFile(s.options.transcript_path, &why)) {
        ::close(s.listener);
        s.listener = -1;
        if (error) *error = why;
        return false;
    }
    s.bound_port = port;
    s.started = true;
    s.running = true;
    s.media->start();
    s.acceptor = std::thread([&s] { s.acceptLoop(); });
    return true;
}

void DvrSim::stop() {
    Impl& s = *impl_;
    if (!s.running.exchange(false)) return;
    s.stopping = true;
    s.wake.wake();
    s.acceptor.join();
    ::close(s.listener);
    s.listener = -1;
    s.media->stop();
    {
        // Ask every connection first, then join: they wind down in parallel.
        std::lock_guard lock(s.conns_mu);
        for (auto& c : s.connections)
            c->requestStop();
        for (auto& c : s.connections)
            c->join();
    }
    s.transcript.closeFile();
    s.notify();
}

bool DvrSim::running() const {
    return impl_->running;
}
uint16_t DvrSim::port() const {
    return impl_->bound_port;
}
const SimOptions& DvrSim::options() const {
    return impl_->options;
}

std::vector<TranscriptRecord> DvrSim::transcript() const {
    return impl_->transcript.snapshot();
}

int DvrSim::connectionCount() const {
    std::lock_guard lock(impl_->conns_mu);
    return int(impl_->connections.size());
}

int DvrSim::openConnections() const {
    std::lock_guard lock(impl_->conns_mu);
    int open = 0;
    for (auto& c : impl_->connections)
        open += c->finished() ? 0 : 1;
    return open;
}

std::vector<ConnectionInfo> DvrSim::connections() const {
    std::lock_guard lock(impl_->conns_mu);
    std::vector<ConnectionInfo> out;
    out.reserve(impl_->connections.size());
    for (auto& c : impl_->connections)
        out.push_back(c->info());
    return out;
}

bool DvrSim::mediaReady(std::string* error) const {
    return impl_->media->ready(error);
}

bool DvrSim::waitForMedia(std::chrono::milliseconds timeout, std::string* error) const {
    std::string why;
    bool ready = false;
    waitFor(
        [&] {
            ready = mediaReady(&why);
            return ready || !why.empty();
        },
        timeout);
    if (!ready && error) *error = why.empty() ? "the pictures were not ready in time" : why;
    return ready;
}

void DvrSim::pauseMedia(bool paused) {
    impl_->media->setPaused(paused);
}

bool DvrSim::waitFor(const std::function<bool()>& condition,
                     std::chrono::milliseconds timeout) const {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    Impl& s = *impl_;
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard lock(s.events_mu);
            seen = s.generation;
        }
        // The condition runs unlocked: it usually calls back into this object.
        if (condition()) return true;
        std::unique_lock lock(s.events_mu);
        if (Clock::now() >= deadline) return false;
        // The short cap also catches conditions on things that send no event (a test's own
        // socket, for one).
        auto until = std::min(deadline, Clock::now() + std::chrono::milliseconds(20));
        s.events_cv.wait_until(lock, until, [&] { return s.generation != seen; });
    }
}

}  // namespace zaq::sim
