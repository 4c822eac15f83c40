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
#include <string>

#include "sim/output_queue.h"
#include "sim/sim_options.h"

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
    // Last ASK_BACKUP: command byte (1 start, 0 stop; -1 none yet), range, and a count of the
    // requests so that a repeated start is seen.
    std::atomic<int> backup_cmd{-1};
    std::atomic<int32_t> backup_begin{0}, backup_end{0};
    std::atomic<int> backup_requests{0};
    // Last ASK_SEARCHTRANSFER: command byte and begin time, and a count of the requests.
    std::atomic<int> search_cmd{-1};
    std::atomic<int32_t> search_begin{0};
    std::atomic<int> search_requests{0};
    std::atomic<int> search_jumps{0};
    std::atomic<int32_t> search_jump_to{0};
    std::atomic<int> search_steps{0};
};

// What a feed sent on one connection. Media threads write, any thread reads.
struct MediaCounters {
    std::atomic<uint64_t> frames_sent{0};     // video access units queued whole
    std::atomic<uint64_t> frames_skipped{0};  // access units left out: budget spent, or
                                              // waiting for the key frame after that
    std::atomic<uint64_t> audio_packets{0};   // audio RTP packets queued
    std::atomic<uint64_t> sender_reports{0};  // RTCP sender reports queued, video and audio
    std::atomic<uint64_t> sequence_gaps{0};   // video sequence numbers left out (fault)
    std::atomic<uint64_t> garbage_units{0};   // runs of garbage bytes queued (fault)
};

struct Outlet {
    explicit Outlet(int index, size_t media_budget = OutputQueue::kDefaultMediaBudget)
        : connection(index), queue(media_budget) {}

    const int connection;  // connection number, in order of acceptance from 0
    StreamWants wants;
    OutputQueue queue;
    MediaCounters sent;
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
    // true: no push is under way when this returns, and none follows until it is called with
    // false; whole frames only, so the counters then tell exactly what was queued. Streams
    // resume where they stopped, without a burst. Any thread.
    virtual void setPaused(bool paused) = 0;
    // True once the feed can serve every channel; false while it is still preparing, or for
    // good after a failure, which *error (may be null) then tells. Any thread.
    virtual bool ready(std::string* error) const = 0;
};

// A feed that sends nothing: the protocol core alone.
std::unique_ptr<MediaFeed> createNullMediaFeed();

// The feed of a DVR with cameras: per channel a picture loop encoded when the feed starts, sent
// as RTP at the configured rate to every live connection that asked for it, a tone as mu-law
// audio, and RTCP sender reports carrying the DVR clock. `options` must outlive the feed.
std::unique_ptr<MediaFeed> createStreamingMediaFeed(const SimOptions& options);

// Serves recordings on backup connections (sim/backup_feed.cpp) and hands every other
// connection to `inner`. `options` must outlive the feed.
std::unique_ptr<MediaFeed> createBackupMediaFeed(const SimOptions& options,
                                                 std::unique_ptr<MediaFeed> inner);

}  // namespace zaq::sim
