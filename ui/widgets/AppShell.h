// The application shell: opens live windows (the first at start, more from the menu), gives
// each window its menu and toolbar, quits with the last window, and opens the DVR's web setup
// in the user's browser. GUI thread only.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

#include "ui/Main_Dialog.h"

class QApplication;
class QMainWindow;

namespace zaq {

class MainWindow;

class AppShell : public QObject, public AppShellOutlet {
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

    void openSiteEntry(Main_Dialog* owner) override;
    void OpenRemoteSetupDevType(int devType, const std::string& ipDns, int webPort, int websslPort,
                                const std::string& name) override;

  private:
    void installMenuAndToolbar(MainWindow* window);
    MainWindow* windowOf(const Main_Dialog* dialog) const;

    QList<QPointer<MainWindow>> m_windows;
};

}  // namespace zaq
