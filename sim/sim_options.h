// Settings of the simulated DVR: what it announces, whom it lets in, how it answers. One struct
// for the in-process API and the command line alike; parseSimOptions() maps every flag onto it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace zaq::sim {

enum class VideoCodec { H264, H265 };

struct SimOptions {
    std::string bind_address = "127.0.0.1";
    uint16_t port = 5445;  // 0 = ephemeral; DvrSim::port() tells the one bound

    // Login reply fields.
    int max_channel = 16;
    int device_type = 199;
    int oem_type = 0;
    int user_rights = 0;
    uint16_t web_port = 80;
    uint16_t secure_web_port = 443;  // travels in the keep-alive status record

    int protocol_version = 8;            // "User-Agent: ZAQC-%03d" and block byte 10
    bool announce_get_parameter = true;  // GET_PARAMETER in the OPTIONS method list

    // Credentials are only checked when set: wrong ID gives -2, wrong password -3.
    std::optional<std::string> user_id;
    std::optional<std::string> password;
    std::map<int, int> login_result;  // channel -> forced login result (overrides the check)

    std::map<int, std::string> titles;  // channel -> camera title; others get defaultTitle()

    int keepalive_form = 112;  // reply block length: 112, 36 or 32

    VideoCodec codec = VideoCodec::H264;  // announced in the stream description
    bool audio = true;                    // announce an audio stream

    // Every write to a client carries at most this many bytes, with a pause between writes, so
    // that clients see replies arrive in pieces. 0 = write whatever is queued.
    size_t split_writes = 0;
    int split_pause_ms = 2;

    std::set<std::string> silent_methods;  // upper case; requests never answered
    std::string transcript_path;           // one line per request when not empty
    int max_connections = 64;              // further connections are accepted and closed
};

// "CH-01" for channel 0 and so on: what a DVR shows for a camera nobody has named.
std::string defaultTitle(int channel);
// The configured title of a channel, or its default.
std::string titleFor(const SimOptions& options, int channel);

struct ParseOutcome {
    bool ok = false;
    bool help = false;  // --help was given; print simUsage() and exit 0
    std::string error;  // what was wrong, when !ok && !help
};

// Reads the program's flags into `options` (which keeps its values for flags not given).
ParseOutcome parseSimOptions(int argc, const char* const* argv, SimOptions& options);
const char* simUsage();

}  // namespace zaq::sim
