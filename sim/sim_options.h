// Settings of the simulated DVR: what it announces, whom it lets in, how it answers. One struct
// for the in-process API and the command line alike; parseSimOptions() maps every flag onto it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

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

    VideoCodec codec = VideoCodec::H264;  // announced and sent
    bool audio = true;                    // announce an audio stream and send its tone

    // Media. Every channel's pictures are encoded once when the simulator starts (in the
    // background, DvrSim::waitForMedia) into a loop that is replayed; a live connection gets
    // video after PLAY while its last live-transfer request said 1, and sound while its last
    // audio-transfer request said 1.
    bool media = true;  // false: replies only, nothing interleaved
    int width = 704, height = 480;
    int fps = 30;
    int gop = 30;  // frames from one key frame to the next
    int bitrate_kbps = 1000;
    int loop_frames = 0;                  // length of the picture loop; 0 = one GOP
    size_t payload_size = 1400;           // RTP payload bytes; longer NAL units are fragmented
    std::optional<int64_t> dvr_time;      // DVR clock at start, seconds since 1970 read as UTC;
                                          // none = the machine's clock
    std::string dump_stream_path;         // channel 0's loop as an Annex B file, when not empty
    size_t media_queue_bytes = 4u << 20;  // media held per connection; more is dropped
    int send_buffer = 0;  // kernel send buffer per connection in bytes; 0 = the system's

    // Backups. A backup connection gets the channel's recording of the asked range: the picture
    // loop at `fps` from the range's start, with the tone and a sender report per second of
    // recording time. Channels in backup_no_data have nothing recorded: they get the end-marker
    // report only.
    std::set<int> backup_no_data;
    int backup_pace_percent = 0;  // 0 = as fast as the connection takes it; 100 = real time

    // Recordings of playback connections. Every channel holds recordings on these days (DVR
    // time of 00:00:00), and each day's time line reports this daylight-saving window. A
    // playback connection sends the recording from the time of the last play command at the
    // commanded pace and direction; its sender reports carry the recording time.
    std::set<int64_t> recorded_days;
    int32_t dls_begin = 0, dls_end = 0;

    // Faults.
    int seq_gap_every = 0;  // leave out one video sequence number after every N packets
    std::chrono::milliseconds drop_after{0};  // close each connection this long after it opened
    int garbage_every = 0;  // after every N media units, a few bytes that start no unit

    // Every write to a client carries at most this many bytes, with a pause between writes, so
    // that clients see replies arrive in pieces. 0 = write whatever is queued.
    size_t split_writes = 0;
    int split_pause_ms = 2;

    std::set<std::string> silent_methods;  // upper case; requests never answered
    std::string transcript_path;           // one line per request when not empty
    int max_connections = 64;              // further connections are accepted and closed
};

// Frames in the picture loop the options ask for.
int loopFrames(const SimOptions& options);

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
// "YYYY-MM-DD HH:MM:SS" (or with a 'T' between date and time) read as UTC, or a plain count
// of seconds since 1970, into a DVR time; false when it is neither or outside 1970..2037.
bool parseDvrTime(std::string_view text, int64_t& seconds);

ParseOutcome parseSimOptions(int argc, const char* const* argv, SimOptions& options);
const char* simUsage();

}  // namespace zaq::sim
