// The playback command codes: what each means, the text the window shows for it, the REW and
// FF speed ladders, the play/pause toggle, which buttons a code enables, and the
// daylight-saving step the DVR expects around its clock change.
#pragma once

#include <cstdint>

namespace zaq {

// Play codes (the command byte of ASK_SEARCHTRANSFER and the window's currPlaySpeed).
enum PlayCode : int32_t {
    PLAY_STOPPED = 0,
    PLAY_X1 = 1,
    PLAY_REW_X1 = 2,
    PLAY_FF_X1 = 3,
    PLAY_FRAME_FORWARD = 4,
    PLAY_FRAME_BACK = 5,
    PLAY_REW_X2 = 8,
    PLAY_REW_X4 = 9,
    PLAY_REW_X8 = 10,
    PLAY_FF_X2 = 11,
    PLAY_FF_X4 = 12,
    PLAY_FF_X8 = 13,
    PLAY_REW_X16 = 14,
    PLAY_FF_X16 = 15,
    PLAY_PAUSE = 16,
    PLAY_REW_X32 = 17,
};

// The play-state text of a code; null for the frame steps (the text stays as it was) and for
// codes that are never sent.
const char* playCodeText(int code);

// The next code of the rewind / fast-forward ladder after `current`: 2, 8, 9, 10, 14, 2 ...
// and 3, 11, 12, 13, 15, 3 ...; the ladder's first step from any code off it; -1 (nothing to
// send) while stopped or paused.
int nextRewCode(int current);
int nextFfCode(int current);
// Play button: play at X1 from stopped, paused or a frame step, pause from any playing code.
int playToggleCode(int current);
// The frame buttons work (and are enabled) only while paused or stepping.
bool frameStepsAllowed(int code);
// REW and FF are enabled while playing in either direction at any speed.
bool speedButtonsAllowed(int code);
// Direction of travel: +1 forward codes, -1 backward codes, 0 stopped or paused.
int playDirection(int code);

// The byte sent for `code` when `current` is in force: 0 for a second X1 play (a jump to a new
// time while already playing at normal speed), else the code itself.
uint8_t searchCommandByte(int code, int current);

// A DVR time inside the daylight-saving window (begin < t < end, both strict) reads one hour
// on: the DVR's sender reports count that hour twice.
int32_t senderReportTime(int32_t dvrTime, int32_t dlsBegin, int32_t dlsEnd);
// The time asked for by Go inside the window is sent one hour back, the same step reversed.
int32_t goRequestTime(int32_t wanted, int32_t dlsBegin, int32_t dlsEnd);

// The DVR time of an RTCP NTP seconds field: minus the 70 years from 1900 to 1970, in 32 bits.
inline int32_t ntpToDvrTime(uint32_t ntpSeconds) {
    return int32_t(ntpSeconds - 2208988800u);
}

}  // namespace zaq
