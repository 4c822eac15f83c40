#include "ui/widgets/AppShell.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QMenuBar>
#include <QStyleFactory>
#include <QToolBar>
#include <QUrl>

#include "protocol/log.h"
#include "ui/remote_setup.h"
#include "ui/widgets/Artwork.h"
#include "ui/widgets/MainWindow.h"

namespace zaq {

AppShell::AppShell(QObject* parent) : QObject(parent) {
    zlog("MainMenu init");
    // Closing the last window quits (Qt's default, stated here because the shell relies on it).
    qApp->setQuitOnLastWindowClosed(true);
    connect(qApp, &QGuiApplication::lastWindowClosed, this,
            [] { zlog("ZAQ_ClientAppDelegate applicationShouldTerminateAfterLastWindowClosed"); });
    connect(qApp, &QCoreApplication::aboutToQuit, this,
            [] { zlog("ZAQ_ClientAppDelegate Terminate"); });
}

AppShell::~AppShell() {
    // The event loop may have ended already, so the windows are deleted here, not later. The
    // address book goes first: it saves and may still name a live window as its owner.
    if (QPointer<SiteEntryWindow> book = m_siteEntryWindow) {
        book->close();  // forgets the window here
        delete book.data();
    }
    for (MainWindow* w : liveWindows()) {
        w->close();
        delete w;
    }
}

void AppShell::applyLook(QApplication& app) {
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    const QColor window(0x2b, 0x2e, 0x34), base(0x1d, 0x20, 0x24), text(0xe3, 0xe6, 0xeb);
    const QColor muted(0x80, 0x86, 0x90);
    // Light, dark and mid shades follow from the button and window colours.
    QPalette p(QColor(0x3a, 0x3e, 0x46), window);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, muted);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, QColor(0xff, 0x55, 0x55));
    p.setColor(QPalette::Highlight, QColor(0x2f, 0x6f, 0xd0));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x6a, 0xa5, 0xff));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, muted);
    }
    p.setColor(QPalette::Disabled, QPalette::Base, window);
    app.setPalette(p);
}

MainWindow* AppShell::newLiveWindow() {
    auto* window = new MainWindow(this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    installMenuAndToolbar(window);
    m_windows.append(window);
    window->show();
    return window;
}

QList<MainWindow*> AppShell::liveWindows() const {
    QList<MainWindow*> open;
    for (const QPointer<MainWindow>& w : m_windows) {
        if (w) open.append(w);
    }
    return open;
}

void AppShell::quit() {
    if (m_siteEntryWindow) m_siteEntryWindow->close();
    for (MainWindow* w : liveWindows())
        w->close();
    QCoreApplication::quit();
}

void AppShell::installMenuAndToolbar(MainWindow* window) {
    QMenu* file = window->menuBar()->addMenu(QStringLiteral("&File"));
    QAction* live = file->addAction(art::liveIcon(), QStringLiteral("&New Live Window"));
    live->setShortcut(QKeySequence::New);
    connect(live, &QAction::triggered, this, [this] {
        zlog("New Window");
        newLiveWindow();
    });
    // The playback window comes later; its entries are there, switched off.
    QAction* playback = file->addAction(art::playbackIcon(), QStringLiteral("&Playback Window"));
    playback->setEnabled(false);
    playback->setToolTip(QStringLiteral("Playback is not available yet"));
    QAction* book = file->addAction(art::siteIcon(), QStringLiteral("&Address Book"));
    connect(book, &QAction::triggered, this, &AppShell::modalSiteEntry);
    file->addSeparator();
    QAction* quitAction = file->addAction(QStringLiteral("&Quit"));
    quitAction->setShortcut(QKeySequence::Quit);
    quitAction->setMenuRole(QAction::QuitRole);
    connect(quitAction, &QAction::triggered, this, &AppShell::quit);

    QToolBar* bar = window->addToolBar(QStringLiteral("Windows"));
    bar->setObjectName(QStringLiteral("windowsToolbar"));
    bar->setMovable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    bar->setIconSize(QSize(20, 20));
    // A flexible space first: the items sit at the right end.
    auto* space = new QWidget(bar);
    space->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(space);
    QAction* playbackItem = bar->addAction(art::playbackIcon(), QStringLiteral("Playback"));
    playbackItem->setEnabled(false);
    playbackItem->setToolTip(QStringLiteral("Playback is not available yet"));
    QAction* liveItem = bar->addAction(art::liveIcon(), QStringLiteral("Live"));
    liveItem->setToolTip(QStringLiteral("Open another live window"));
    connect(liveItem, &QAction::triggered, live, &QAction::trigger);
}

MainWindow* AppShell::windowOf(const Main_Dialog* dialog) const {
    for (MainWindow* w : liveWindows()) {
        if (&w->dialog() == dialog) return w;
    }
    return nullptr;
}

void AppShell::openSiteEntry(Main_Dialog* owner) {
    SiteEntryOwner = owner;
    setSiteEntryOpened(true);
}

void AppShell::modalSiteEntry() {
    zlog("MainWindow modalSiteEntry");
    setSiteEntryOpened(true);
}

void AppShell::SetEntryInfo(const SiteEntry& entry) {
    IsSelected = true;
    m_entry = entry;
}

void AppShell::setSiteEntryWindow(SiteEntryWindow* window) {
    m_siteEntryWindow = window;
}

void AppShell::setSiteEntryOpened(bool open) {
    if (open) {
        if (m_siteEntryWindow) {
            m_siteEntryWindow->raise();
            m_siteEntryWindow->activateWindow();
            return;
        }
        auto* window = new SiteEntryWindow(this);
        window->setAttribute(Qt::WA_DeleteOnClose);
        zlog("run Modal");
        window->show();
        return;
    }
    if (IsSelected && SiteEntryOwner && windowOf(SiteEntryOwner)) {
        // The owner ignores this while it is connecting or connected.
        SiteEntryOwner->setConnInfo(m_entry[1], m_entry[2], m_entry[3], m_entry[4]);
    }
    SiteEntryOwner = nullptr;
    IsSelected = false;
    m_entry = {};
}

void AppShell::OpenRemoteSetupDevType(int devType, const std::string& ipDns, int webPort,
                                      int websslPort, const std::string& name) {
    std::string url = remoteSetupUrl(devType, ipDns, webPort, websslPort);
    zlog("OpenRemoteSetup [%s] %s", name.c_str(), url.c_str());
    // A URL nobody handles does nothing visible.
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

}  // namespace zaq
