#include "playback/play_codes.h"

#include <cstddef>

namespace zaq {
namespace {

struct CodeEntry {
    int code;
    const char* text;
    int direction;
};

// clang-format off
const CodeEntry kCodes[] = {
    {PLAY_STOPPED,       "Stopped",   0},
    {PLAY_X1,            "Play (X1)", 1},
    {PLAY_REW_X1,        "REW X1",   -1},
    {PLAY_FF_X1,         "FF X1",     1},
    {PLAY_FRAME_FORWARD, nullptr,     1},
    {PLAY_FRAME_BACK,    nullptr,    -1},
    {PLAY_REW_X2,        "REW X2",   -1},
    {PLAY_REW_X4,        "REW X4",   -1},
    {PLAY_REW_X8,        "REW X8",   -1},
    {PLAY_FF_X2,         "FF X2",     1},
    {PLAY_FF_X4,         "FF X4",     1},
    {PLAY_FF_X8,         "FF X8",     1},
    {PLAY_REW_X16,       "REW X16",  -1},
    {PLAY_FF_X16,        "FF X16",    1},
    {PLAY_PAUSE,         "Paused",    0},
    {PLAY_REW_X32,       "REW X32",  -1},
};
// clang-format on

const int kRewLadder[] = {PLAY_REW_X1, PLAY_REW_X2, PLAY_REW_X4, PLAY_REW_X8, PLAY_REW_X16};
const int kFfLadder[] = {PLAY_FF_X1, PLAY_FF_X2, PLAY_FF_X4, PLAY_FF_X8, PLAY_FF_X16};

const CodeEntry* findCode(int code) {
    for (const CodeEntry& e : kCodes) {
        if (e.code == code) return &e;
    }
    return nullptr;
}

template <size_t N>
int nextOnLadder(const int (&ladder)[N], int current) {
    if (current == PLAY_STOPPED || current == PLAY_PAUSE) return -1;
    for (size_t i = 0; i < N; ++i) {
        if (ladder[i] == current) return ladder[(i + 1) % N];
    }
    return ladder[0];
}

}  // namespace

const char* playCodeText(int code) {
    const CodeEntry* e = findCode(code);
    return e ? e->text : nullptr;
}

int nextRewCode(int current) {
    return nextOnLadder(kRewLadder, current);
}
int nextFfCode(int current) {
    return nextOnLadder(kFfLadder, current);
}

int playToggleCode(int current) {
    return current == PLAY_STOPPED || frameStepsAllowed(current) ? PLAY_X1 : PLAY_PAUSE;
}

bool frameStepsAllowed(int code) {
    return code == PLAY_FRAME_FORWARD || code == PLAY_FRAME_BACK || code == PLAY_PAUSE;
}

bool speedButtonsAllowed(int code) {
    return code != PLAY_STOPPED && !frameStepsAllowed(code);
}

int playDirection(int code) {
    const CodeEntry* e = findCode(code);
    return e ? e->direction : 0;
}

uint8_t searchCommandByte(int code, int current) {
    return code == PLAY_X1 && current == PLAY_X1 ? 0 : uint8_t(code);
}

int32_t senderReportTime(int32_t t, int32_t dlsBegin, int32_t dlsEnd) {
    return dlsBegin < t && t < dlsEnd ? t + 3600 : t;
}

int32_t goRequestTime(int32_t t, int32_t dlsBegin, int32_t dlsEnd) {
    return dlsBegin < t && t < dlsEnd ? t - 3600 : t;
}

}  // namespace zaq
