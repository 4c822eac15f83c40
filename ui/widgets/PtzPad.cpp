#include "ui/widgets/PtzPad.h"

#include <QGridLayout>
#include <QLabel>
#include <QToolButton>

#include "ui/ptz_codes.h"
#include "ui/widgets/Artwork.h"

namespace zaq {
namespace {

struct PadPlace {
    int command;
    int row, column;
    const char* tip;
};

// Arrows on a 3 x 3 grid around the centre; focus and zoom in the row below.
constexpr PadPlace kPlaces[] = {
    {PTZ_LEFT_UP, 0, 0, "Pan left, tilt up"},
    {PTZ_UP, 0, 1, "Tilt up"},
    {PTZ_RIGHT_UP, 0, 2, "Pan right, tilt up"},
    {PTZ_LEFT, 1, 0, "Pan left"},
    {PTZ_RIGHT, 1, 2, "Pan right"},
    {PTZ_LEFT_DOWN, 2, 0, "Pan left, tilt down"},
    {PTZ_DOWN, 2, 1, "Tilt down"},
    {PTZ_RIGHT_DOWN, 2, 2, "Pan right, tilt down"},
    {PTZ_ZOOM_OUT, 3, 0, "Zoom out"},
    {PTZ_ZOOM_IN, 3, 1, "Zoom in"},
    {PTZ_FOCUS_OUT, 4, 0, "Focus far"},
    {PTZ_FOCUS_IN, 4, 1, "Focus near"},
};

const PtzButtonSpec* tableEntry(int command) {
    for (const PtzButtonSpec& s : kPtzButtons) {
        if (s.command == command) return &s;
    }
    return nullptr;
}

QIcon iconOf(const PtzButtonSpec& entry) {
    if (entry.arrow) return art::arrowIcon(entry.rotation);
    switch (entry.command) {
        case PTZ_ZOOM_IN:
            return art::zoomIcon(true);
        case PTZ_ZOOM_OUT:
            return art::zoomIcon(false);
        case PTZ_FOCUS_IN:
            return art::focusIcon(true);
        default:
            return art::focusIcon(false);
    }
}

}  // namespace

PtzPad::PtzPad(QWidget* parent) : QWidget(parent) {
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(4);
    for (const PadPlace& place : kPlaces) {
        const PtzButtonSpec* entry = tableEntry(place.command);
        if (!entry) continue;
        auto* b = new QToolButton(this);
        b->setObjectName(QString::fromLatin1(entry->field));
        b->setIcon(iconOf(*entry));
        b->setIconSize(QSize(24, 24));
        b->setToolTip(QString::fromLatin1(place.tip));
        b->setAccessibleName(QString::fromLatin1(place.tip));
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        b->setMinimumHeight(34);
        b->setFocusPolicy(Qt::TabFocus);
        b->setProperty("ptzCommand", entry->command);
        // Held, not clicked: the camera moves from the press until the release.
        const int command = entry->command;
        connect(b, &QToolButton::pressed, this, [this, command] {
            if (onPressed) onPressed(command);
        });
        connect(b, &QToolButton::released, this, [this] {
            if (onReleased) onReleased();
        });
        grid->addWidget(b, place.row, place.column);
        m_buttons.append(b);
    }
    // The centre of the arrows, and the labels of the focus and zoom rows.
    auto* centre = new QLabel(QStringLiteral("PTZ"), this);
    centre->setAlignment(Qt::AlignCenter);
    centre->setEnabled(false);
    grid->addWidget(centre, 1, 1);
    auto* zoom = new QLabel(QStringLiteral("Zoom"), this);
    auto* focus = new QLabel(QStringLiteral("Focus"), this);
    grid->addWidget(zoom, 3, 2);
    grid->addWidget(focus, 4, 2);
}

QToolButton* PtzPad::button(int command) const {
    for (QToolButton* b : m_buttons) {
        if (b->property("ptzCommand").toInt() == command) return b;
    }
    return nullptr;
}

}  // namespace zaq
