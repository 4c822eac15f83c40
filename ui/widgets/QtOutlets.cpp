#include "ui/widgets/QtOutlets.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>

#include <algorithm>

namespace zaq {

std::string LineEditText::text() const {
    return m_edit ? m_edit->text().toStdString() : std::string();
}

void LineEditText::setText(const std::string& text) {
    if (m_edit) m_edit->setText(QString::fromStdString(text));
}

void LineEditText::setEnabled(bool enabled) {
    if (m_edit) m_edit->setEnabled(enabled);
}

PushButtonOutlet::PushButtonOutlet(QPushButton* button, QString alternateTitle, QIcon alternateIcon)
    : m_button(button),
      m_alternateTitle(std::move(alternateTitle)),
      m_alternateIcon(std::move(alternateIcon)) {
    m_button->setProperty("highlighted", false);
}

std::string PushButtonOutlet::title() const {
    return m_button ? m_button->text().toStdString() : std::string();
}

void PushButtonOutlet::setTitle(const std::string& title) {
    if (m_button) m_button->setText(QString::fromStdString(title));
}

void PushButtonOutlet::swapAlternate() {
    if (!m_button) return;
    QString title = m_button->text();
    QIcon icon = m_button->icon();
    m_button->setText(m_alternateTitle);
    m_button->setIcon(m_alternateIcon);
    m_alternateTitle = title;
    m_alternateIcon = icon;
}

void PushButtonOutlet::setHighlighted(bool on) {
    if (!m_button) return;
    m_button->setProperty("highlighted", on);
    // Only the two roles are set, so the button follows the window's palette otherwise.
    QPalette pal;
    if (on) {
        pal.setColor(QPalette::Button, m_button->palette().color(QPalette::Highlight));
        pal.setColor(QPalette::ButtonText, m_button->palette().color(QPalette::HighlightedText));
    }
    m_button->setPalette(pal);
}

void PushButtonOutlet::setEnabled(bool enabled) {
    if (m_button) m_button->setEnabled(enabled);
}

BusySpinner::BusySpinner(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % 12;
        update();
    });
}

void BusySpinner::startAnimation() {
    m_timer.start();
    update();
}

void BusySpinner::stopAnimation() {
    m_timer.stop();
    update();
}

void BusySpinner::paintEvent(QPaintEvent*) {
    if (!isSpinning()) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(width() / 2.0, height() / 2.0);
    qreal r = std::min(width(), height()) / 2.0;
    QColor ink = palette().color(QPalette::WindowText);
    for (int k = 0; k < 12; ++k) {
        // The spoke at the current step is the brightest; the ones behind it fade out.
        int age = (m_step - k + 12) % 12;
        ink.setAlphaF(1.0 - age / 13.0);
        p.setPen(QPen(ink, r / 5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(0, -r * 0.45), QPointF(0, -r * 0.85));
        p.rotate(30);
    }
}

void MessageBoxAlert::runAlert(const std::string& title, const std::string& message,
                               const std::string& button) {
    QMessageBox box(m_parent);
    box.setWindowTitle(QString::fromStdString(title));
    box.setText(QString::fromStdString(message));
    box.setIcon(QMessageBox::Warning);
    box.addButton(QString::fromStdString(button), QMessageBox::AcceptRole);
    box.setWindowModality(Qt::WindowModal);
    box.exec();
}

}  // namespace zaq
