#include "sim/connection.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace zaq::sim {

namespace {

using Clock = std::chrono::steady_clock;

// Upper bound of a poll while nothing is expected: stop requests wake the poll anyway, this
// only limits the damage if the wake-up pipe could not be made.
constexpr int kIdlePollMs = 200;

}  // namespace

Connection::Connection(int index, int fd, const SimOptions& options, Hooks hooks)
    : options_(options),
      hooks_(std::move(hooks)),
      outlet_(std::make_shared<Outlet>(index, options.media_queue_bytes)),
      fd_(fd),
      session_(options, index, &outlet_->wants) {
    info_ = session_.state();
    // A fixed buffer stops the kernel from growing it for a client that does not read, so the
    // backlog builds up in the outlet's queue, where it is bounded and counted.
    if (options.send_buffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &options.send_buffer, sizeof options.send_buffer);
    }
}

Connection::~Connection() {
    requestStop();
    join();
    if (fd_ >= 0) ::close(fd_);  // never started
}

void Connection::start() {
    thread_ = std::thread([this] { run(); });
}

void Connection::requestStop() {
    stop_ = true;
    outlet_->queue.wake();
}

void Connection::join() {
    if (thread_.joinable()) thread_.join();
}

ConnectionInfo Connection::info() const {
    ConnectionInfo out;
    {
        std::lock_guard lock(info_mu_);
        out = info_;
    }
    out.reply_backlog = outlet_->queue.controlBytes();
    const MediaCounters& sent = outlet_->sent;
    out.frames_sent = sent.frames_sent;
    out.frames_skipped = sent.frames_skipped;
    out.audio_packets_sent = sent.audio_packets;
    out.sender_reports_sent = sent.sender_reports;
    out.sequence_gaps = sent.sequence_gaps;
    out.garbage_units = sent.garbage_units;
    out.packets_dropped = outlet_->queue.droppedMedia();
    return out;
}

void Connection::run() {
    read_buf_.resize(kReadChunk);
    bool reading = true;
    const bool drops = options_.drop_after.count() > 0;
    const Clock::time_point drop_at = Clock::now() + options_.drop_after;
    while (!stop_) {
        if (drops && Clock::now() >= drop_at) {
            std::lock_guard lock(info_mu_);
            info_.dropped = true;
            break;
        }
        const bool pending = outputPending();
        if (!reading && !pending) break;  // the client is done and has all its replies
        const bool want_read = reading && outlet_->queue.controlBytes() < kReplyBacklogLimit;
        int timeout = kIdlePollMs;
        if (pending && !blocked_) {
            auto wait = std::chrono::ceil<std::chrono::milliseconds>(next_write_ - Clock::now());
            timeout = int(std::clamp<int64_t>(wait.count(), 0, kIdlePollMs));
        }
        if (drops) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(drop_at - Clock::now());
            timeout = int(std::clamp<int64_t>(left.count(), 0, timeout));
        }
        pollfd fds[2] = {
            {fd_, short((want_read ? POLLIN : 0) | (pending && blocked_ ? POLLOUT : 0)), 0},
            {outlet_->queue.waitFd(), POLLIN, 0},
        };
        int n = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout);
        if (n < 0 && errno != EINTR) break;
        if (stop_) break;
        if (fds[1].revents & POLLIN) outlet_->queue.drainWakeups();
        if (fds[0].revents & POLLNVAL) break;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            // recv tells the end of the client's stream from an error.
            ReadResult r = reading ? readRequests() : ReadResult::Broken;
            if (r == ReadResult::Broken) break;
            if (r == ReadResult::PeerDone) reading = false;
        }
        if (!writeOutput()) break;
    }

    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
    outlet_->queue.close();
    if (hooks_.media) hooks_.media->detach(outlet_.get());
    {
        std::lock_guard lock(info_mu_);
        info_.open = false;
    }
    reader_ = RequestReader();
    read_buf_ = {};
    pending_ = {};
    finished_ = true;
    if (hooks_.changed) hooks_.changed();
}

Connection::ReadResult Connection::readRequests() {
    ssize_t got = ::recv(fd_, read_buf_.data(), read_buf_.size(), MSG_DONTWAIT);
    if (got == 0) return ReadResult::PeerDone;
    if (got < 0) {
        bool retry = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        return retry ? ReadResult::Open : ReadResult::Broken;
    }
    reader_.feed(read_buf_.data(), size_t(got));
    InboundUnit unit;
    for (;;) {
        switch (reader_.next(unit)) {
            case RequestReader::Status::Unit:
                handleUnit(unit);
                break;
            case RequestReader::Status::NeedMore:
                return ReadResult::Open;
            case RequestReader::Status::Overflow:
            case RequestReader::Status::BadLength:
                return ReadResult::Broken;  // no way to find the next request in this stream
        }
    }
}

void Connection::handleUnit(const InboundUnit& unit) {
    DvrSession::Outcome out = session_.handle(unit);
    {
        std::lock_guard lock(info_mu_);
        info_ = session_.state();
    }
    // The record goes in before the reply goes out: whoever has read a reply finds its request
    // in the transcript.
    if (hooks_.transcript) hooks_.transcript->append(std::move(out.record));
    if (!out.reply.empty()) outlet_->queue.pushControl(std::move(out.reply));
    session_.publishWants();
}

bool Connection::outputPending() const {
    return pending_off_ < pending_.size() || !outlet_->queue.empty();
}

bool Connection::writeOutput() {
    const size_t split = options_.split_writes;
    for (;;) {
        if (pending_off_ >= pending_.size()) {
            pending_off_ = 0;
            if (!outlet_->queue.pop(pending_)) {
                pending_.clear();
                blocked_ = false;
                return true;
            }
        }
        if (split > 0 && Clock::now() < next_write_) return true;
        size_t size = pending_.size() - pending_off_;
        if (split > 0) size = std::min(size, split);
        ssize_t sent =
            ::send(fd_, pending_.data() + pending_off_, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                blocked_ = true;
                return true;
            }
            return false;
        }
        blocked_ = false;
        pending_off_ += size_t(sent);
        if (split > 0 && options_.split_pause_ms > 0) {
            next_write_ = Clock::now() + std::chrono::milliseconds(options_.split_pause_ms);
            return true;
        }
    }
}

}  // namespace zaq::sim
