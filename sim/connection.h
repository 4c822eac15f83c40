// One TCP connection of a client. Its own thread reads requests from the non-blocking socket,
// has the DvrSession answer them, and writes what its outlet's queue holds (replies and, from
// media threads, interleaved packets). A connection that cannot write only waits on its own
// socket, so one slow client never holds up another.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/connection_info.h"
#include "sim/dvr_session.h"
#include "sim/media_feed.h"
#include "sim/request_reader.h"
#include "sim/sim_options.h"
#include "sim/transcript.h"

namespace zaq::sim {

class Connection {
  public:
    struct Hooks {
        Transcript* transcript = nullptr;
        MediaFeed* media = nullptr;
        std::function<void()> changed;  // after the connection closed; connection thread
    };

    // Takes ownership of the connected socket `fd`. `options` must outlive the connection.
    Connection(int index, int fd, const SimOptions& options, Hooks hooks);
    ~Connection();  // stops and joins
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Starts the thread. Once, from the acceptor.
    void start();
    // Asks the thread to close the socket and end; returns at once. Any thread.
    void requestStop();
    // Waits for the thread; harmless when it never started or was joined already. Not from the
    // connection's own thread.
    void join();

    bool finished() const { return finished_.load(); }
    ConnectionInfo info() const;  // any thread
    const std::shared_ptr<Outlet>& outlet() const { return outlet_; }

  private:
    // Replies beyond this backlog stop the reading of further requests until they are written.
    static constexpr size_t kReplyBacklogLimit = 256 * 1024;
    static constexpr size_t kReadChunk = 64 * 1024;

    enum class ReadResult { Open, PeerDone, Broken };

    void run();
    // PeerDone: the client sent its last byte (its replies still go out). Broken: a read error
    // or bytes that cannot be framed; the connection ends at once.
    ReadResult readRequests();
    bool writeOutput();  // false: the connection is over (write error)
    bool outputPending() const;
    void handleUnit(const InboundUnit& unit);

    const SimOptions& options_;
    const Hooks hooks_;
    const std::shared_ptr<Outlet> outlet_;
    int fd_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};

    // --- Connection thread only
    DvrSession session_;
    RequestReader reader_;
    std::vector<uint8_t> read_buf_;
    std::vector<uint8_t> pending_;  // unit being written
    size_t pending_off_ = 0;
    bool blocked_ = false;  // the last write would have blocked: wait for POLLOUT
    std::chrono::steady_clock::time_point next_write_{};  // split writes: not before this

    // --- Protected by info_mu_
    mutable std::mutex info_mu_;
    ConnectionInfo info_;
};

}  // namespace zaq::sim
