// The simulated DVR, in process: tests start it on an ephemeral port, point a client at it and
// look at what crossed the wire.
//
//     zaq::sim::SimOptions options;
//     options.port = 0;
//     zaq::sim::DvrSim sim(options);
//     sim.start();
//     ... connect to 127.0.0.1:sim.port() ...
//     sim.waitFor([&] { return sim.openConnections() == 16; }, std::chrono::seconds(5));
//     sim.stop();
//
// One acceptor thread and one thread per connection. Every member may be called from any thread
// while the simulator runs, except that start() and stop() belong to the owner.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/connection_info.h"
#include "sim/sim_options.h"
#include "sim/transcript.h"

namespace zaq::sim {

class DvrSim {
  public:
    explicit DvrSim(SimOptions options = {});
    ~DvrSim();  // stops
    DvrSim(const DvrSim&) = delete;
    DvrSim& operator=(const DvrSim&) = delete;

    // Binds, opens the transcript file when one is set, and starts accepting. False with a
    // reason when the address cannot be bound or the simulator was started before.
    bool start(std::string* error = nullptr);
    // Closes the listener and every connection and joins all threads. Idempotent.
    void stop();

    bool running() const;
    uint16_t port() const;  // the port bound (the real one when the options asked for 0)
    const SimOptions& options() const;

    // The requests (and interleaved units) received so far, oldest first; the newest 100000
    // (and 32 MiB) at most.
    std::vector<TranscriptRecord> transcript() const;
    int connectionCount() const;                      // connections accepted since start
    int openConnections() const;                      // of these, the ones still open
    std::vector<ConnectionInfo> connections() const;  // in order of acceptance

    // Media (a simulator started with options.media). The pictures are encoded in the
    // background after start(); streams begin once their channel's loop is ready.
    // True once every channel is ready; false while encoding, or after a failure, which
    // *error (may be null) then tells.
    bool mediaReady(std::string* error = nullptr) const;
    // Waits for mediaReady(); false on time-out too (*error then says so).
    bool waitForMedia(std::chrono::milliseconds timeout, std::string* error = nullptr) const;
    // true: when this returns, no media unit is being queued and none follows until it is
    // called with false; frames are queued whole, so ConnectionInfo then tells exactly what
    // each client will get. Streams resume on their clocks without a burst.
    void pauseMedia(bool paused);

    // Polls `condition` (from the calling thread) until it holds or `timeout` has passed;
    // re-checks at once whenever a request arrives or a connection opens or closes. True when
    // the condition held.
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zaq::sim
