// Pane geometry of the five live layouts and the channels a layout's group shows. Positions are
// in the video box's coordinates with the origin at the bottom left, y growing upward.
#pragma once

#include <vector>

namespace zaq {

struct Rect {
    double x = 0, y = 0, w = 0, h = 0;
    bool operator==(const Rect& o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};

struct PanePlacement {
    int view;   // channel slot whose view goes into the pane
    Rect frame;
};

// The panes of `group` of layout `mode` (1, 4, 9, 10 or 16) in a box of width x height. For
// mode 1 the group is the channel shown.
std::vector<PanePlacement> layoutPanes(int mode, int group, double width, double height);

// The group after `group` in layout `mode`, wrapping to 0.
int nextGroup(int mode, int group);

// Channel slot of the i-th channel number of a layout (numbers above 15 wrap).
inline int wrapChannel(int i) { return i > 15 ? i - 16 : i; }

}  // namespace zaq
