// The PTZ command of each of the twelve press-and-hold buttons; 0 stops the movement.
#pragma once

namespace zaq {

enum PtzCommand : int {
    PTZ_STOP = 0,
    PTZ_UP = 1,
    PTZ_DOWN = 2,
    PTZ_LEFT = 3,
    PTZ_RIGHT = 4,
    PTZ_LEFT_UP = 5,
    PTZ_RIGHT_UP = 6,
    PTZ_LEFT_DOWN = 7,
    PTZ_RIGHT_DOWN = 8,
    PTZ_ZOOM_IN = 9,
    PTZ_ZOOM_OUT = 10,
    PTZ_FOCUS_IN = 11,   // focus near
    PTZ_FOCUS_OUT = 12,  // focus far
};

struct PtzButtonSpec {
    const char* field;  // the controller's name for the button
    int command;
    int rotation;  // degrees, counter-clockwise, of the left-pointing arrow; 0 for non-arrows
    bool arrow;
};

inline constexpr PtzButtonSpec kPtzButtons[12] = {
    {"m_ptzLeft", PTZ_LEFT, 0, true},
    {"m_ptzLeftUp", PTZ_LEFT_UP, -45, true},
    {"m_ptzUp", PTZ_UP, -90, true},
    {"m_ptzRightUp", PTZ_RIGHT_UP, -135, true},
    {"m_ptzRight", PTZ_RIGHT, 180, true},
    {"m_ptzRightDown", PTZ_RIGHT_DOWN, -225, true},
    {"m_ptzDown", PTZ_DOWN, -270, true},
    {"m_ptzLeftDown", PTZ_LEFT_DOWN, -315, true},
    {"m_ptzFocusIn", PTZ_FOCUS_IN, 0, false},
    {"m_ptzFocusOut", PTZ_FOCUS_OUT, 0, false},
    {"m_ptzZoomIn", PTZ_ZOOM_IN, 0, false},
    {"m_ptzZoomOut", PTZ_ZOOM_OUT, 0, false},
};

}  // namespace zaq
