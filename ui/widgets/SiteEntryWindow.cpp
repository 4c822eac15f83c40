#include "ui/widgets/SiteEntryWindow.h"

#include <QCloseEvent>
#include <QVBoxLayout>

#include "protocol/log.h"
#include "ui/widgets/QtOutlets.h"
#include "ui/widgets/SiteEntryDialog.h"

namespace zaq {

SiteEntryWindow::SiteEntryWindow(SiteEntryMenu* menu, QWidget* parent)
    : QDialog(parent), m_menu(menu) {
    zlog("SiteEntryWindow :: awakeFromNib");
    setWindowTitle(QStringLiteral("Address Book - ZAQ Client"));
    setWindowModality(Qt::ApplicationModal);
    auto* column = new QVBoxLayout(this);
    m_dlg = new SiteEntryDialog(this);
    column->addWidget(m_dlg);
    // Select and close both close the window the way its title bar button does.
    m_dlg->onSelected = [this](const SiteEntry& entry) { m_menu->SetEntryInfo(entry); };
    m_dlg->onCloseRequested = [this] { close(); };
    resize(760, 520);
    m_menu->setSiteEntryWindow(this);
}

SiteEntryWindow::~SiteEntryWindow() {
    // A window deleted without being closed still saves and unregisters (no alert this late).
    windowShouldClose(false);
}

void SiteEntryWindow::closeEvent(QCloseEvent* event) {
    windowShouldClose(true);
    // QDialog's own handling ends the modal session (Escape arrives here through reject()).
    QDialog::closeEvent(event);
}

void SiteEntryWindow::windowShouldClose(bool alertOnFailure) {
    if (m_closed) return;
    m_closed = true;
    if (!m_dlg->onClose() && alertOnFailure) {
        MessageBoxAlert(this).runAlert("Address Book",
                                       "The address book could not be saved; "
                                       "the changes made in this window are lost.",
                                       "OK");
    }
    m_menu->setSiteEntryWindow(nullptr);
    m_menu->setSiteEntryOpened(false);
}

}  // namespace zaq
