// The address book window: application-modal, holding the table and its two buttons. Every
// way of closing it (close button, select button, the title bar, Escape) saves the book and
// tells the menu side, which hands a chosen site to the live window that asked. GUI thread only.
#pragma once

#include <QDialog>

#include "ui/SiteEntryController.h"

namespace zaq {

class SiteEntryDialog;
class SiteEntryWindow;

// The application menu's side of the address book. GUI thread.
class SiteEntryMenu {
  public:
    virtual ~SiteEntryMenu() = default;
    // The select button chose this site; it is handed over when the window has closed.
    virtual void SetEntryInfo(const SiteEntry& entry) = 0;
    // The open window, or null once it closes.
    virtual void setSiteEntryWindow(SiteEntryWindow* window) = 0;
    // true opens the book unless it is open; false (the window closed) hands a chosen site to
    // the owner and forgets the owner and the choice.
    virtual void setSiteEntryOpened(bool open) = 0;
};

class SiteEntryWindow : public QDialog {
    Q_OBJECT
  public:
    // Loads the book and registers with `menu` (which must outlive the window).
    explicit SiteEntryWindow(SiteEntryMenu* menu, QWidget* parent = nullptr);
    ~SiteEntryWindow() override;

    SiteEntryDialog* dialog() const { return m_dlg; }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    // Save (telling the user when that fails), then tell the menu side; once per window.
    void windowShouldClose(bool alertOnFailure);

    SiteEntryMenu* m_menu;
    SiteEntryDialog* m_dlg = nullptr;
    bool m_closed = false;
};

}  // namespace zaq
