// The live window against an in-process simulated DVR: the form and Connect, pictures in the
// panes, the single-channel toggle, PTZ on the wire, the entry/setup button and the close rules.
#include <QtTest>

#include <algorithm>

#include <QDesktopServices>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolButton>

#include <algorithm>
#include <mutex>
#include <vector>

#include "protocol/log.h"
#include "sim/dvr_sim.h"
#include "ui/ptz_codes.h"
#include "ui/widgets/AppShell.h"
#include "ui/widgets/MainWindow.h"
#include "ui/widgets/PaneHost.h"
#include "ui/widgets/PtzPad.h"
#include "ui/widgets/QtOutlets.h"
#include "ui/widgets/SiteEntryWindow.h"
#include "ui/widgets/VideoCIView.h"

using namespace zaq;
using sim::DvrSim;
using sim::SimOptions;

namespace {

constexpr int kUpTimeoutMs = 15000;

// Every log line of the process; session threads log too.
struct LogLines {
    std::mutex lock;
    std::vector<std::string> lines;
    void clear() {
        std::lock_guard<std::mutex> l(lock);
        lines.clear();
    }
    bool contains(const std::string& text) {
        std::lock_guard<std::mutex> l(lock);
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }
};
LogLines g_log;

SimOptions simWith(int channels) {
    SimOptions o;
    o.port = 0;
    o.max_channel = channels;
    return o;
}

void typeInto(QLineEdit* field, const QString& text) {
    field->clear();
    QTest::keyClicks(field, text);
}

// Types the form as a user would and presses Connect.
void typeAndConnect(MainWindow& w, int port, const QString& id = "usher",
                    const QString& password = "7394") {
    typeInto(w.addressField(), "127.0.0.1");
    typeInto(w.portField(), QString::number(port));
    typeInto(w.idField(), id);
    typeInto(w.passwordField(), password);
    QTest::mouseClick(w.connectButton(), Qt::LeftButton);
}

QPoint centreInWindow(MainWindow& w, int slot) {
    QWidget* pane = w.pane(slot)->widget();
    return pane->mapTo(&w, pane->rect().center());
}

// Clicks go through the window, as the user's do: past the selection overlay to the pane.
void clickPane(MainWindow& w, int slot) {
    QTest::mouseClick(w.windowHandle(), Qt::LeftButton, {}, centreInWindow(w, slot));
}
void doubleClickPane(MainWindow& w, int slot) {
    QTest::mouseDClick(w.windowHandle(), Qt::LeftButton, {}, centreInWindow(w, slot));
}

QList<int> visibleSlots(MainWindow& w) {
    QList<int> shown;
    for (int slot = 0; slot < kMaxSlots; ++slot) {
        if (!w.pane(slot)->widget()->isHidden()) shown.append(slot);
    }
    return shown;
}

QList<int> range(int from, int to) {
    QList<int> r;
    for (int k = from; k <= to; ++k)
        r.append(k);
    return r;
}

// The PTZ records of the transcript: (channel, command, preset).
QList<QList<int>> ptzOnWire(const DvrSim& sim) {
    QList<QList<int>> out;
    for (const auto& r : sim.transcript()) {
        if (r.method != "GET_PARAMETER" || r.code() != 37 || r.block.size() < 18) continue;
        out.append({r.channel, r.block[16], r.block[17]});
    }
    return out;
}

}  // namespace

// Receives the URLs the program hands to the desktop.
class UrlCatcher : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls.append(url); }
};

class TestLiveWindow : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        // The address book is written into a data folder of the test's own.
        QVERIFY(m_data.isValid());
        qputenv("XDG_DATA_HOME", m_data.path().toUtf8());
        setLogSink([](const std::string& line) {
            std::lock_guard<std::mutex> l(g_log.lock);
            g_log.lines.push_back(line);
        });
    }
    void init() { g_log.clear(); }

    void connectsWithTheTypedForm_data() {
        QTest::addColumn<bool>("enterKey");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("failure");
        QTest::newRow("Connect button") << false << "7394"
                                        << "";
        QTest::newRow("Enter in the password field") << true << "7394"
                                                     << "";
        QTest::newRow("wrong password") << false << "7395"
                                        << "Invalid Password";
    }
    void connectsWithTheTypedForm() {
        QFETCH(bool, enterKey);
        QFETCH(QString, password);
        QFETCH(QString, failure);
        SimOptions o = simWith(4);
        o.user_id = "usher";
        o.password = "7394";
        DvrSim sim(o);
        QVERIFY(sim.start());
        QStringList statuses;  // outlives the window, which still writes to it when it closes
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        statuses.append(w.statusField()->text());
        connect(w.statusField(), &QLineEdit::textChanged, this,
                [&](const QString& s) { statuses.append(s); });

        typeInto(w.addressField(), "127.0.0.1");
        typeInto(w.portField(), QString::number(sim.port()));
        typeInto(w.idField(), "usher");
        typeInto(w.passwordField(), password);
        QCOMPARE(w.passwordField()->echoMode(), QLineEdit::Password);
        if (enterKey) {
            QTest::keyClick(w.passwordField(), Qt::Key_Return);
        } else {
            QTest::mouseClick(w.connectButton(), Qt::LeftButton);
        }
        QCOMPARE(w.connectButton()->text(), QString("Connecting..."));
        QVERIFY(!w.connectButton()->isEnabled());
        QVERIFY(!w.addressField()->isEnabled());
        QVERIFY(w.spinner()->isSpinning());

        if (!failure.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(!w.dialog().m_isConnected, kUpTimeoutMs);
            QCOMPARE(w.statusField()->text(), failure);
            QCOMPARE(w.connectButton()->text(), QString("Connect"));
            QVERIFY(w.connectButton()->isEnabled());
            QVERIFY(w.passwordField()->isEnabled());
            QCOMPARE(w.entryButton()->text(), QString("Site"));
            QVERIFY(!w.spinner()->isSpinning());
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(w.dialog().cameUp(), kUpTimeoutMs);
        // The DVR clock may show up already while connecting, once a time stamp has come in.
        QCOMPARE(statuses.mid(0, 2), (QStringList{"Not Connected", "Connecting..."}));
        QVERIFY2(statuses.contains("Receiving DVR Time..."), qPrintable(statuses.join(" | ")));
        QCOMPARE(w.connectButton()->text(), QString("Disconnect"));
        QVERIFY(w.connectButton()->isEnabled());
        QVERIFY(w.connectButton()->property("highlighted").toBool());
        QVERIFY(!w.spinner()->isSpinning());
        for (QLineEdit* f : {w.addressField(), w.portField(), w.idField(), w.passwordField()}) {
            QVERIFY(!f->isEnabled());
        }
        QCOMPARE(w.entryButton()->text(), QString("Remote Setup"));
        QVERIFY(sim.waitFor([&] { return sim.openConnections() == 4; }, std::chrono::seconds(5)));

        QTest::mouseClick(w.connectButton(), Qt::LeftButton);
        QCOMPARE(w.statusField()->text(), QString("Disconnected"));
        QCOMPARE(w.connectButton()->text(), QString("Connect"));
        QVERIFY(!w.connectButton()->property("highlighted").toBool());
        QVERIFY(w.addressField()->isEnabled());
        QCOMPARE(w.entryButton()->text(), QString("Site"));
        QVERIFY(sim.waitFor([&] { return sim.openConnections() == 0; }, std::chrono::seconds(5)));
    }

    void panesShowPictures() {
        DvrSim sim(simWith(4));
        QVERIFY(sim.start());
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        typeAndConnect(w, sim.port());
        QTRY_VERIFY_WITH_TIMEOUT(w.dialog().cameUp(), kUpTimeoutMs);
        bool pictures = QTest::qWaitFor(
            [&] {
                for (int slot = 0; slot < 4; ++slot) {
                    if (w.pane(slot)->imagesHandedOver() == 0) return false;
                }
                return true;
            },
            8000);
        if (!pictures) QSKIP("the simulated DVR sent no pictures: nothing to show yet");
        for (int slot = 0; slot < 4; ++slot) {
            VideoCIView* pane = w.pane(slot);
            QVERIFY(!pane->showingLogo());
            QVERIFY(!pane->image().isNull());
            QTRY_VERIFY(pane->paints() > 0);
        }
        // Panes without a channel keep the logo.
        QVERIFY(w.pane(9)->showingLogo());
        // Disconnecting puts the logo back everywhere.
        QTest::mouseClick(w.connectButton(), Qt::LeftButton);
        for (int slot = 0; slot < kMaxSlots; ++slot)
            QVERIFY(w.pane(slot)->showingLogo());
    }

    // Rows: layout button presses, the pane double-clicked, the panes shown before and after.
    void doubleClickTogglesOneChannel_data() {
        QTest::addColumn<QList<int>>("presses");
        QTest::addColumn<int>("slot");
        QTest::addColumn<QList<int>>("shownBefore");
        QTest::newRow("16 panes, channel 5") << QList<int>{} << 5 << range(0, 15);
        QTest::newRow("second group of 4, channel 6") << QList<int>{4, 4} << 6 << range(4, 7);
        QTest::newRow("10 panes, large pane 9") << QList<int>{10} << 9 << range(0, 9);
    }
    void doubleClickTogglesOneChannel() {
        QFETCH(QList<int>, presses);
        QFETCH(int, slot);
        QFETCH(QList<int>, shownBefore);
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        for (int mode : presses)
            QTest::mouseClick(w.splitButton(mode), Qt::LeftButton);
        QCOMPARE(visibleSlots(w), shownBefore);
        const int layout = presses.isEmpty() ? 16 : presses.last();

        doubleClickPane(w, slot);
        QCOMPARE(visibleSlots(w), QList<int>{slot});
        QCOMPARE(w.dialog().getSplitMode(), 1);
        QVERIFY(w.splitButton(1)->isChecked());
        QVERIFY(!w.splitButton(layout)->isChecked());
        QWidget* single = w.pane(slot)->widget();
        QCOMPARE(single->width(), w.paneHost()->width() - 22);
        QCOMPARE(w.paneHost()->selectionRect(), single->geometry());
        // The pane told the controller its new width: the title is sized for it.
        QCOMPARE(w.dialog().paneWidth(slot), single->width());

        doubleClickPane(w, slot);
        QCOMPARE(visibleSlots(w), shownBefore);
        QCOMPARE(w.dialog().getSplitMode(), layout);
        QVERIFY(w.splitButton(layout)->isChecked());
        QCOMPARE(w.dialog().getSelectChannel(), slot);
        QCOMPARE(w.paneHost()->selectionRect(), w.pane(slot)->widget()->geometry());
    }

    // Rows: the pane clicked before the press, the button, the pane clicked before the release.
    void ptzPressAndRelease_data() {
        QTest::addColumn<int>("pressSlot");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("releaseSlot");
        QTest::newRow("zoom in on channel 2") << 2 << int(PTZ_ZOOM_IN) << 2;
        QTest::newRow("left-up on channel 0") << 0 << int(PTZ_LEFT_UP) << 0;
        QTest::newRow("focus far on channel 3") << 3 << int(PTZ_FOCUS_OUT) << 3;
        QTest::newRow("stop goes to the channel selected at release") << 1 << int(PTZ_DOWN) << 3;
    }
    void ptzPressAndRelease() {
        QFETCH(int, pressSlot);
        QFETCH(int, command);
        QFETCH(int, releaseSlot);
        DvrSim sim(simWith(4));
        QVERIFY(sim.start());
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        typeAndConnect(w, sim.port());
        QTRY_VERIFY_WITH_TIMEOUT(w.dialog().cameUp(), kUpTimeoutMs);
        QVERIFY(sim.waitFor([&] { return sim.openConnections() == 4; }, std::chrono::seconds(5)));

        clickPane(w, pressSlot);
        QCOMPARE(w.dialog().getSelectChannel(), pressSlot);
        QToolButton* button = w.ptzPad()->button(command);
        QVERIFY(button);
        QTest::mousePress(button, Qt::LeftButton);
        QVERIFY(button->isDown());
        clickPane(w, releaseSlot);
        QTest::mouseRelease(button, Qt::LeftButton);
        QVERIFY(!button->isDown());

        // Each command travels on its channel's own connection, so two channels' commands
        // may reach the DVR in either order; on one connection the order is fixed.
        QList<QList<int>> expected{{pressSlot, command, 1}, {releaseSlot, 0, 1}};
        const auto byChannel = [](QList<QList<int>> l) {
            std::stable_sort(l.begin(), l.end(),
                             [](const QList<int>& a, const QList<int>& b) { return a[0] < b[0]; });
            return l;
        };
        expected = byChannel(expected);
        QTRY_COMPARE_WITH_TIMEOUT(byChannel(ptzOnWire(sim)), expected, 5000);
    }

    void entryAndSetupButton_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<int>("deviceType");
        QTest::addColumn<QString>("url");
        QTest::newRow("client page") << "usher" << 199 << "http://127.0.0.1:8080/index.html?client";
        QTest::newRow("setup script, ID in capitals")
            << "USHER" << 200 << "http://127.0.0.1:8080/cgi-bin/websetup.cgi";
        QTest::newRow("another ID is refused") << "guest" << 199 << "";
    }
    void entryAndSetupButton() {
        QFETCH(QString, id);
        QFETCH(int, deviceType);
        QFETCH(QString, url);
        SimOptions o = simWith(1);
        o.device_type = deviceType;
        o.web_port = 8080;
        o.secure_web_port = 0;
        DvrSim sim(o);
        QVERIFY(sim.start());
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("http", &catcher, "open");
        QDesktopServices::setUrlHandler("https", &catcher, "open");
        auto unset = qScopeGuard([] {
            QDesktopServices::unsetUrlHandler("http");
            QDesktopServices::unsetUrlHandler("https");
        });
        AppShell shell;
        MainWindow* w = shell.newLiveWindow();
        QVERIFY(QTest::qWaitForWindowExposed(w));

        // Idle: the address book.
        QTest::mouseClick(w->entryButton(), Qt::LeftButton);
        QVERIFY(g_log.contains("SiteEntryWindow :: awakeFromNib"));
        QPointer<SiteEntryWindow> book = shell.siteEntryWindow();
        QVERIFY(book && book->isVisible());
        book->close();
        QTRY_VERIFY(!book);

        typeAndConnect(*w, sim.port(), id);
        QTRY_VERIFY_WITH_TIMEOUT(w->dialog().cameUp(), kUpTimeoutMs);
        QCOMPARE(w->entryButton()->text(), QString("Remote Setup"));

        QString alertTitle, alertText;
        if (url.isEmpty()) {
            // The alert is modal: read and dismiss it from inside its own loop.
            QTimer poll;
            poll.setInterval(20);
            connect(&poll, &QTimer::timeout, this, [&] {
                for (QWidget* top : QApplication::topLevelWidgets()) {
                    auto* box = qobject_cast<QMessageBox*>(top);
                    if (!box || !box->isVisible()) continue;
                    alertTitle = box->windowTitle();
                    alertText = box->text();
                    box->done(0);
                }
            });
            poll.start();
            QTest::mouseClick(w->entryButton(), Qt::LeftButton);
            QCOMPARE(alertTitle, QString("Remote Setup - Unauthorized ID"));
            QCOMPARE(alertText, QString("Please log in as an usher."));
            QVERIFY(catcher.urls.isEmpty());
        } else {
            QTest::mouseClick(w->entryButton(), Qt::LeftButton);
            QCOMPARE(catcher.urls, QList<QUrl>{QUrl(url)});
        }
    }

    void closeRules_data() {
        QTest::addColumn<bool>("connected");
        QTest::newRow("connected: disconnects, then tears down") << true;
        QTest::newRow("idle: only tears down") << false;
    }
    void closeRules() {
        QFETCH(bool, connected);
        DvrSim sim(simWith(4));
        QVERIFY(sim.start());
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        if (connected) {
            typeAndConnect(w, sim.port());
            QTRY_VERIFY_WITH_TIMEOUT(w.dialog().cameUp(), kUpTimeoutMs);
            QVERIFY(
                sim.waitFor([&] { return sim.openConnections() == 4; }, std::chrono::seconds(5)));
        }
        QVERIFY(w.close());
        QCOMPARE(g_log.contains("window Should Close1 1"), connected);
        QVERIFY(g_log.contains("Main dialog dialog reset"));
        QVERIFY(g_log.contains("window Should Close4"));
        QCOMPARE(int(w.dialog().m_isConnected), 0);
        QVERIFY(!w.dialog().renderer().isRunning());
        QCOMPARE(w.statusField()->text(), QString(connected ? "Disconnected" : "Not Connected"));
        QVERIFY(sim.waitFor([&] { return sim.openConnections() == 0; }, std::chrono::seconds(5)));
    }

    void closingTheLastWindowQuits() {
        AppShell shell;
        QPointer<MainWindow> first = shell.newLiveWindow();
        QPointer<MainWindow> second = shell.newLiveWindow();
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        int afterFirst = -1;
        // Qt quits on the last window only from its running event loop.
        QTimer::singleShot(0, qApp, [&] { first->close(); });
        QTimer::singleShot(100, qApp, [&] {
            afterFirst = lastClosed.count();
            second->close();
        });
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(1); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(afterFirst, 0);
        QCOMPARE(lastClosed.count(), 1);
        QTRY_VERIFY(!first && !second);
        QVERIFY(shell.liveWindows().isEmpty());
    }

  private:
    QTemporaryDir m_data;
};

QTEST_MAIN(TestLiveWindow)
#include "tst_live_window.moc"
