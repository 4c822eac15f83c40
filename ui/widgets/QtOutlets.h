// The controller's outlets on Qt widgets: text fields, buttons with an alternate title/icon
// pair, the busy spinner and the one-button alert. GUI thread only, like the widgets.
#pragma once

#include <QIcon>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "ui/Outlets.h"

namespace zaq {

class LineEditText : public TextOutlet {
  public:
    explicit LineEditText(QLineEdit* edit) : m_edit(edit) {}
    std::string text() const override;
    void setText(const std::string& text) override;
    void setEnabled(bool enabled) override;

  private:
    QPointer<QLineEdit> m_edit;
};

// A push button with a current and an alternate title/icon pair. "Highlighted" is shown with
// the palette's highlight colour and kept in the button's "highlighted" property.
class PushButtonOutlet : public ButtonOutlet {
  public:
    explicit PushButtonOutlet(QPushButton* button, QString alternateTitle = {},
                              QIcon alternateIcon = {});
    std::string title() const override;
    void setTitle(const std::string& title) override;
    void swapAlternate() override;
    void setHighlighted(bool on) override;
    void setEnabled(bool enabled) override;

  private:
    QPointer<QPushButton> m_button;
    QString m_alternateTitle;
    QIcon m_alternateIcon;
};

// A spinning wheel while something is under way; blank (keeping its place) otherwise.
class BusySpinner : public QWidget, public ProgressOutlet {
    Q_OBJECT
  public:
    explicit BusySpinner(QWidget* parent = nullptr);
    void startAnimation() override;
    void stopAnimation() override;
    bool isSpinning() const { return m_timer.isActive(); }
    QSize sizeHint() const override { return {22, 22}; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QTimer m_timer;
    int m_step = 0;
};

// A window-modal message box with one button; returns when it is dismissed.
class MessageBoxAlert : public AlertOutlet {
  public:
    explicit MessageBoxAlert(QWidget* parent) : m_parent(parent) {}
    void runAlert(const std::string& title, const std::string& message,
                  const std::string& button) override;

  private:
    QPointer<QWidget> m_parent;
};

}  // namespace zaq
