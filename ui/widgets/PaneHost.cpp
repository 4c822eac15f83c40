#include "ui/widgets/PaneHost.h"

#include <QPainter>
#include <QResizeEvent>

#include <cmath>

namespace zaq {

namespace {
const QColor kBoxColour(0x0e, 0x10, 0x13);
const QColor kSelectionColour(0xff, 0x00, 0x00);
constexpr int kSelectionWidth = 3;

// The area a 3-point frame around `pane` covers: one point inside the pane, two in the gap.
QRect frameBounds(const QRect& pane) {
    return pane.adjusted(-2, -2, 2, 2);
}
}  // namespace

// Sits above the panes and lets every mouse event through to them.
class PaneHost::SelectionOverlay : public QWidget {
  public:
    explicit SelectionOverlay(PaneHost* host) : QWidget(host), m_host(host) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QRect pane = m_host->selectionRect();
        if (pane.isNull()) return;
        QPainter p(this);
        QPen pen(kSelectionColour, kSelectionWidth);
        pen.setJoinStyle(Qt::MiterJoin);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        // The pen is centred on the path: this path puts the stroke at 2 points outside to
        // 1 point inside the pane's edge.
        p.drawRect(QRectF(pane).adjusted(-0.5, -0.5, 0.5, 0.5));
    }

  private:
    PaneHost* m_host;
};

PaneHost::PaneHost(QWidget* parent) : QWidget(parent), m_overlay(new SelectionOverlay(this)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_overlay->setGeometry(rect());
}

void PaneHost::setPane(int slot, QWidget* pane) {
    if (slot < 0 || slot >= kMaxSlots) return;
    m_panes[slot] = pane;
    pane->setParent(this);
    m_overlay->raise();
}

Rect PaneHost::boxFrame() const {
    return Rect{0, 0, double(width()), double(height())};
}

QRect PaneHost::toWidgetRect(const Rect& f, int boxHeight) {
    int x = int(std::lround(f.x)), y = int(std::lround(f.y));
    int w = int(std::lround(f.w)), h = int(std::lround(f.h));
    return QRect(x, boxHeight - y - h, w, h);
}

void PaneHost::setViewFrame(int slot, const Rect& frame) {
    if (QWidget* p = pane(slot)) p->setGeometry(toWidgetRect(frame, height()));
}

void PaneHost::setViewHidden(int slot, bool hidden) {
    if (QWidget* p = pane(slot)) p->setHidden(hidden);
}

void PaneHost::setSelectionFrame(bool visible, const Rect& frame) {
    QRect before = selectionRect();
    m_selectionVisible = visible;
    m_selection = frame;
    QRect after = selectionRect();
    if (before == after) return;
    if (!before.isNull()) m_overlay->update(frameBounds(before));
    if (!after.isNull()) m_overlay->update(frameBounds(after));
}

QRect PaneHost::selectionRect() const {
    return m_selectionVisible ? toWidgetRect(m_selection, height()) : QRect();
}

void PaneHost::paintEvent(QPaintEvent* e) {
    QPainter p(this);
    p.fillRect(e->rect(), kBoxColour);
}

void PaneHost::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    m_overlay->setGeometry(rect());
    if (onResized) onResized();
}

}  // namespace zaq
