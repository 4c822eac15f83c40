// The application shell: opens live windows (the first at start, more from the menu), gives
// each window its menu and toolbar, quits with the last window, opens the site address book
// and carries the chosen site back, and opens the DVR's web setup in the user's browser. GUI
// thread only.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

#include "ui/Main_Dialog.h"
#include "ui/widgets/SiteEntryWindow.h"

class QApplication;
class QMainWindow;

namespace zaq {

class MainWindow;

class AppShell : public QObject, public AppShellOutlet, public SiteEntryMenu {
    Q_OBJECT
  public:
    explicit AppShell(QObject* parent = nullptr);
    // Closes and deletes the windows still open, each by its close rules.
    ~AppShell() override;

    // The dark look of the program: the Fusion style with a dark palette.
    static void applyLook(QApplication& app);

    // A new live window with its menu and toolbar, shown; it is deleted when closed.
    MainWindow* newLiveWindow();
    // The live windows open now, oldest first.
    QList<MainWindow*> liveWindows() const;
    // Closes every window (each disconnects and tears down) and ends the program.
    void quit();

    // The live window's entry button: the book opens for that window's form.
    void openSiteEntry(Main_Dialog* owner) override;
    // The menu: the book opens for editing, with no form to fill.
    void modalSiteEntry();
    // The open address book window, or null.
    SiteEntryWindow* siteEntryWindow() const { return m_siteEntryWindow; }

    void SetEntryInfo(const SiteEntry& entry) override;
    void setSiteEntryWindow(SiteEntryWindow* window) override;
    void setSiteEntryOpened(bool open) override;
    void OpenRemoteSetupDevType(int devType, const std::string& ipDns, int webPort, int websslPort,
                                const std::string& name) override;

  private:
    void installMenuAndToolbar(MainWindow* window);
    MainWindow* windowOf(const Main_Dialog* dialog) const;

    QList<QPointer<MainWindow>> m_windows;

    // --- Address book
    QPointer<SiteEntryWindow> m_siteEntryWindow;
    // The controller whose form a chosen site fills; checked against the open windows before
    // use, since its window may have gone meanwhile.
    Main_Dialog* SiteEntryOwner = nullptr;
    bool IsSelected = false;
    SiteEntry m_entry;  // name, IP/DNS, port, ID, password
};

}  // namespace zaq
