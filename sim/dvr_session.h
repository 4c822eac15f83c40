// The DVR side of the protocol for one connection: takes each unit the client sent and returns
// the reply to queue and the transcript record. No sockets here; the connection thread feeds it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/connection_info.h"
#include "sim/media_feed.h"
#include "sim/request_reader.h"
#include "sim/sim_options.h"
#include "sim/transcript.h"

namespace zaq::sim {

// Session numbers handed out by SETUP: the base plus the connection number plus one.
constexpr uint32_t kSessionBase = 5445000;

class DvrSession {
  public:
    // `wants` (may be null) mirrors the state for media threads; it must outlive the session.
    DvrSession(const SimOptions& options, int index, StreamWants* wants);

    struct Outcome {
        std::vector<uint8_t> reply;  // empty = nothing to send
        TranscriptRecord record;
    };
    // Connection thread only.
    Outcome handle(const InboundUnit& unit);
    // Hands what the client asked for so far to the media threads. The connection calls it
    // once a request's reply is queued, so that the reply goes out before any media the
    // request switched on.
    void publishWants();

    const ConnectionInfo& state() const { return state_; }

  private:
    struct Request {
        const std::string& header;
        const std::vector<uint8_t>& body;
        std::optional<std::string_view> cseq;  // echoed only when it is a plain number
    };
    using Handler = std::vector<uint8_t> (DvrSession::*)(const Request&);
    struct MethodEntry {
        const char* method;
        Handler handler;
    };
    static const MethodEntry kMethods[];

    std::vector<uint8_t> onOptions(const Request& req);
    std::vector<uint8_t> onDescribe(const Request& req);
    std::vector<uint8_t> onSetup(const Request& req);
    std::vector<uint8_t> onPlay(const Request& req);
    std::vector<uint8_t> onGetParameter(const Request& req);

    // The Session value for a reply: the client's, when it sent a number, else our own.
    std::string sessionValue(const Request& req) const;

    const SimOptions& options_;
    StreamWants* wants_;
    ConnectionInfo state_;
    int video_track_ = -1;  // interleaved channels asked for by SETUP
    int audio_track_ = -1;
    const std::chrono::steady_clock::time_point opened_;
};

}  // namespace zaq::sim
