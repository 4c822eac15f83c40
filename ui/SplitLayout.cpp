#include "ui/SplitLayout.h"

#include <cmath>

namespace zaq {
namespace {

double trunc0(double v) { return std::trunc(v); }

std::vector<PanePlacement> squarePanes(int n, int base, double W, double H) {
    std::vector<PanePlacement> panes;
    double pw = trunc0((W - 22 - (2 * n - 2)) / n);
    double ph = trunc0((H - 22 - (2 * n - 2)) / n);
    for (int k = 0; k < n * n; ++k) {
        int c = k % n, r = k / n;
        panes.push_back({wrapChannel(base + k),
                         {c * (pw + 2) + 11, (n - 1 - r) * (ph + 2) + 11, pw, ph}});
    }
    return panes;
}

std::vector<PanePlacement> tenPanes(int group, double W, double H) {
    static const int kViews[2][10] = {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9},
                                      {10, 11, 12, 13, 14, 15, 0, 1, 2, 3}};
    const int* views = kViews[group != 0];
    std::vector<PanePlacement> panes;
    double sw = trunc0((W - 28) * 0.25), sh = trunc0((H - 28) * 0.25);
    for (int k = 0; k < 8; ++k) {
        panes.push_back({views[k], {(k % 4) * (sw + 2) + 11, (3 - k / 4) * (sh + 2) + 11, sw, sh}});
    }
    double bw = trunc0((W - 26) * 0.5 + 1), bh = trunc0((H - 26) * 0.5);
    for (int j = 0; j < 2; ++j) panes.push_back({views[8 + j], {j * (bw + 2) + 11, 11, bw, bh}});
    return panes;
}

}  // namespace

int nextGroup(int mode, int group) { return (group + 1) * mode > 15 ? 0 : group + 1; }

std::vector<PanePlacement> layoutPanes(int mode, int group, double W, double H) {
    switch (mode) {
        case 1: return squarePanes(1, group, W, H);
        case 4: return squarePanes(2, group * 4, W, H);
        case 9: return squarePanes(3, group * 9, W, H);
        case 10: return tenPanes(group, W, H);
        default: return squarePanes(4, 0, W, H);
    }
}

}  // namespace zaq
