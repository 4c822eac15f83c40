// What the simulator knows about one connection: written by the connection's thread as requests
// arrive, copied out under the connection's lock for tests (DvrSim::connections()).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zaq::sim {

struct ConnectionInfo {
    int index = -1;  // connection number, in order of acceptance from 0
    bool open = true;
    int channel = -1;         // DVR channel from the request URLs, -1 = none yet
    int kind = -1;            // URL path word: 0 Playback, 1 Live, 2 Backup, -1 none
    uint32_t session_id = 0;  // the number this connection's SETUP replies give out
    uint64_t requests = 0;    // text requests received
    int setups = 0;
    bool playing = false;
    int logins = 0;        // ASK_LOGIN commands received
    int login_result = 0;  // result sent for the last of them
    bool video = false;    // last ASK_LIVETRANSFER flag
    bool audio = false;    // last ASK_AUDIOTRANSFER flag
    int ptz_commands = 0;  // ASK_PTZCONTROL commands received
    int ptz_cmd = 0;       // command and preset of the last of them
    int ptz_preset = 0;
    int backup_requests = 0;  // ASK_BACKUP commands received
    int backup_cmd = -1;      // command byte, range and connection id of the last of them
    int32_t backup_begin = 0, backup_end = 0, backup_connection = 0;
    int search_requests = 0;  // ASK_SEARCHTRANSFER commands received
    int search_cmd = -1;      // command byte, begin time and channel mask of the last of them
    int32_t search_begin = 0;
    uint32_t search_mask = 0;
    // Commands of a burst reach the media thread as one: it sees the jumps and the steps
    // through these counts. Jumps to a time so far and the last time; frame steps forward
    // minus frame steps back.
    int search_jumps = 0;
    int32_t search_jump_to = 0;
    int search_steps = 0;
    int32_t logdate_month = 0;  // month of the last ASK_LOGDATE, day of the last ASK_LOGINFO
    int32_t loginfo_day = 0;
    size_t reply_backlog = 0;  // reply bytes queued and not yet written
    bool dropped = false;      // closed by the simulator's drop-after fault

    // Media sent on this connection (MediaCounters).
    uint64_t frames_sent = 0;     // video access units queued whole
    uint64_t frames_skipped = 0;  // access units left out after a full queue
    uint64_t audio_packets_sent = 0;
    uint64_t sender_reports_sent = 0;
    uint64_t sequence_gaps = 0;    // video sequence numbers left out (fault)
    uint64_t garbage_units = 0;    // runs of garbage bytes sent (fault)
    uint64_t packets_dropped = 0;  // media units the full queue refused
};

}  // namespace zaq::sim
