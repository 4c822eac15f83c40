// Where media output joins the protocol core.
//
// Every connection has an Outlet: what its client asked for (written by the connection thread as
// requests arrive) and the connection's output queue. The simulator hands each new outlet to the
// MediaFeed and takes it back when the connection ends. A feed runs its own threads, reads
// Outlet::wants and pushes interleaved units ('$', channel, big-endian length, packet) with
// OutputQueue::pushMedia; it never touches sockets.
#pragma once

#include <atomic>
#include <memory>

#include "sim/output_queue.h"

namespace zaq::sim {

// What the client asked one connection for. Connection thread writes, media threads read.
struct StreamWants {
    std::atomic<int> channel{-1};      // DVR channel from the request URLs, -1 = none yet
    std::atomic<int> kind{-1};         // 0 Playback, 1 Live, 2 Backup (URL path word), -1 none
    std::atomic<int> video_track{-1};  // interleaved channel of video RTP from SETUP, -1 = none
    std::atomic<int> audio_track{-1};  // interleaved channel of audio RTP from SETUP, -1 = none
    std::atomic<bool> playing{false};  // PLAY received
    std::atomic<bool> video{false};    // last ASK_LIVETRANSFER video flag
    std::atomic<bool> audio{false};    // last ASK_AUDIOTRANSFER flag
};

struct Outlet {
    explicit Outlet(int index, size_t media_budget = OutputQueue::kDefaultMediaBudget)
        : connection(index), queue(media_budget) {}

    const int connection;  // connection number, in order of acceptance from 0
    StreamWants wants;
    OutputQueue queue;
};

class MediaFeed {
  public:
    virtual ~MediaFeed() = default;
    // Starts the feed's threads. DvrSim::start, before the first connection.
    virtual void start() = 0;
    // Ends and joins the feed's threads; no push happens afterwards. DvrSim::stop.
    virtual void stop() = 0;
    // A new connection; the feed keeps the outlet until detach. Acceptor thread.
    virtual void attach(std::shared_ptr<Outlet> outlet) = 0;
    // The connection ended; pushes to its queue fail from now on anyway. Connection thread.
    virtual void detach(const Outlet* outlet) = 0;
};

// A feed that sends nothing: the protocol core alone.
std::unique_ptr<MediaFeed> createNullMediaFeed();

}  // namespace zaq::sim
