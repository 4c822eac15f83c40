// The video box of the live window: a dark area that holds the 16 channel panes where the
// controller puts them, and the red frame around the selected pane, drawn above the panes.
// GUI thread only.
#pragma once

#include <QWidget>

#include <functional>

#include "protocol/StreamObject.h"
#include "ui/Outlets.h"

namespace zaq {

class PaneHost : public QWidget, public PaneHostOutlet {
    Q_OBJECT
  public:
    explicit PaneHost(QWidget* parent = nullptr);

    // Makes `pane` the slot's pane and a child of the box.
    void setPane(int slot, QWidget* pane);
    QWidget* pane(int slot) const {
        return slot >= 0 && slot < kMaxSlots ? m_panes[slot] : nullptr;
    }
    // Called after every size change, so the controller can lay the panes out again.
    std::function<void()> onResized;

    Rect boxFrame() const override;
    void setViewFrame(int slot, const Rect& frame) override;
    void setViewHidden(int slot, bool hidden) override;
    void setSelectionFrame(bool visible, const Rect& frame) override;

    // The selected pane's rectangle in widget coordinates; null when no frame is shown.
    QRect selectionRect() const;
    // A frame of the box's coordinates (origin bottom left, y up) in widget coordinates.
    static QRect toWidgetRect(const Rect& frame, int boxHeight);

    QSize sizeHint() const override { return {960, 720}; }
    QSize minimumSizeHint() const override { return {480, 360}; }

  protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;

  private:
    class SelectionOverlay;
    SelectionOverlay* m_overlay;
    QWidget* m_panes[kMaxSlots] = {};
    bool m_selectionVisible = false;
    Rect m_selection;
};

}  // namespace zaq
