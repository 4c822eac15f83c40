// The PTZ pad: eight press-and-hold arrows around the centre, and focus and zoom buttons. A
// press sends the button's command, the release the stop command. GUI thread only.
#pragma once

#include <QWidget>

#include <functional>

class QToolButton;

namespace zaq {

class PtzPad : public QWidget {
    Q_OBJECT
  public:
    explicit PtzPad(QWidget* parent = nullptr);

    std::function<void(int command)> onPressed;
    std::function<void()> onReleased;

    // The button that sends `command` (see ui/ptz_codes.h), or null.
    QToolButton* button(int command) const;
    // The buttons row by row, for the focus chain.
    const QList<QToolButton*>& buttons() const { return m_buttons; }

  private:
    QList<QToolButton*> m_buttons;
};

}  // namespace zaq
