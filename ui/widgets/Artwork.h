// The program's pictures, drawn in code: the logo of panes without video and the icons of the
// live window. GUI thread (QPixmap and QIcon belong to it).
#pragma once

#include <QIcon>
#include <QImage>

namespace zaq::art {

// The logo shown by panes without video: the wordmark on a dark gradient, 4:3.
QImage logoImage();

// The arrow of the PTZ pad, drawn once pointing left and turned `degreesCcw` counter-clockwise
// about its centre.
QIcon arrowIcon(int degreesCcw);
// A lens with a plus or minus (zoom in or out).
QIcon zoomIcon(bool in);
// A focus ring with a plus (near) or minus (far).
QIcon focusIcon(bool near);
// The grid pictogram of a split layout: 1, 4, 9, 10 or 16 panes.
QIcon splitIcon(int mode);
// Entry/setup button: the address book card and the web setup gear.
QIcon siteIcon();
QIcon setupIcon();
// Toolbar: playback (a film strip with a play mark) and live (a camera).
QIcon playbackIcon();
QIcon liveIcon();

}  // namespace zaq::art
