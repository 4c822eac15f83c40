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
    size_t reply_backlog = 0;  // reply bytes queued and not yet written
};

}  // namespace zaq::sim
