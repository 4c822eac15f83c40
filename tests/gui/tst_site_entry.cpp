// The address book window on the offscreen platform, opened from a live window's entry
// button: cells edited in place, a row chosen with select fills the live form unless the live
// window is connecting or connected, and every way of closing saves without filling the form.
// The book lives in a temporary data folder.
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>

#include <filesystem>

#include "sim/dvr_sim.h"
#include "ui/SiteEntryController.h"
#include "ui/widgets/AppShell.h"
#include "ui/widgets/MainWindow.h"
#include "ui/widgets/SiteEntryDialog.h"
#include "ui/widgets/SiteEntryWindow.h"

using namespace zaq;

namespace {

constexpr int kUpTimeoutMs = 15000;
const SiteEntry kDepot{"Depot", "10.1.2.3", "15445", "keeper", "old"};
const SiteEntry kOffice{"Office", "office.example.org", "5445", "usher", "7394"};

// Writes the book as the program would, with `site` in row `row`.
void seedBook(int row, const SiteEntry& site) {
    SiteEntryController book;
    book.awakeFromNib();
    for (int c = 0; c < kSiteEntryColumns; ++c)
        book.setObjectValue(site[c], c, row);
    QVERIFY(book.onClose());
}

SiteEntryController savedBook() {
    SiteEntryController book;
    book.awakeFromNib();
    return book;
}

// A port that accepts connections and never answers: the live window stays connecting.
struct SilentListener {
    SilentListener() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 && ::listen(fd, 16) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            port = ntohs(a.sin_port);
        }
    }
    ~SilentListener() { ::close(fd); }
    int fd = -1;
    int port = 0;
};

struct Form {
    QString address, port, id, password;
    bool operator==(const Form&) const = default;
};
Form formOf(MainWindow& w) {
    return {w.addressField()->text(), w.portField()->text(), w.idField()->text(),
            w.passwordField()->text()};
}
void typeForm(MainWindow& w, const Form& f) {
    for (auto [field, text] : {std::pair{w.addressField(), f.address},
                               {w.portField(), f.port},
                               {w.idField(), f.id},
                               {w.passwordField(), f.password}}) {
        field->clear();
        QTest::keyClicks(field, text);
    }
}

QTableView* tableOf(SiteEntryWindow* book) {
    return book->dialog()->tableView();
}
QPoint cellCentre(QTableView* table, int row, int column) {
    QModelIndex index = table->model()->index(row, column);
    table->scrollTo(index);
    return table->visualRect(index).center();
}

// Opens a cell's editor as a user does: a click on the cell, then F2.
QLineEdit* openEditor(QTableView* table, int row, int column) {
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cellCentre(table, row, column));
    QTest::keyClick(table, Qt::Key_F2);
    for (auto* editor : table->viewport()->findChildren<QLineEdit*>()) {
        if (editor->isVisible()) return editor;
    }
    return nullptr;
}

// Types over a cell and presses Enter.
void editCell(QTableView* table, int row, int column, const QString& text) {
    QPointer<QLineEdit> editor = openEditor(table, row, column);
    QVERIFY(editor);
    QCOMPARE(editor->echoMode(), column == SiteEntryController::kPasswordColumn
                                     ? QLineEdit::Password
                                     : QLineEdit::Normal);
    editor->selectAll();
    // Key by key with the character's text, which also carries non-ASCII letters.
    for (QChar ch : text)
        QTest::sendKeyEvent(QTest::Click, editor, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    QTest::keyClick(editor, Qt::Key_Return);
    // The view commits and closes the editor from its event loop.
    QTRY_VERIFY(!editor || !editor->isVisible());
}

void clickRow(QTableView* table, int row) {
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cellCentre(table, row, 0));
}

QString shown(QTableView* table, int row, int column) {
    return table->model()->index(row, column).data(Qt::DisplayRole).toString();
}

}  // namespace

class TestSiteEntry : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        QVERIFY(m_data.isValid());
        qputenv("XDG_DATA_HOME", m_data.path().toUtf8());
        m_bookPath = SiteEntryController::getAppPath();
        QVERIFY(QString::fromStdString(m_bookPath).startsWith(m_data.path()));
    }
    void init() { std::filesystem::remove_all(m_bookPath); }

    void selectFillsTheFormOnlyWhenIdle_data() {
        QTest::addColumn<QString>("state");
        QTest::newRow("idle: the form takes the site") << "idle";
        QTest::newRow("connecting: the form stays") << "connecting";
        QTest::newRow("connected: the form stays") << "connected";
    }
    void selectFillsTheFormOnlyWhenIdle() {
        QFETCH(QString, state);
        seedBook(2, kDepot);
        sim::SimOptions o;
        o.port = 0;
        o.max_channel = 1;
        o.media = false;
        sim::DvrSim sim(o);
        QVERIFY(sim.start());
        SilentListener silent;
        QVERIFY(silent.port > 0);

        AppShell shell;
        MainWindow* w = shell.newLiveWindow();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        const int port = state == "connected" ? sim.port() : silent.port;
        typeForm(*w, {"127.0.0.1", QString::number(port), "usher", "7394"});
        if (state != "idle") QTest::mouseClick(w->connectButton(), Qt::LeftButton);
        const Form before = formOf(*w);

        // While connecting the button still opens the book (the session comes up only once
        // the event loop runs again).
        QCOMPARE(w->entryButton()->text(), QString("Site"));
        QTest::mouseClick(w->entryButton(), Qt::LeftButton);
        QPointer<SiteEntryWindow> book = shell.siteEntryWindow();
        QVERIFY(book);
        QVERIFY(book->isVisible());
        QCOMPARE(book->windowModality(), Qt::ApplicationModal);
        QTableView* table = tableOf(book);
        QCOMPARE(table->model()->rowCount(), 100);
        QStringList headers;
        for (int c = 0; c < table->model()->columnCount(); ++c)
            headers << table->model()->headerData(c, Qt::Horizontal).toString();
        QCOMPARE(headers, (QStringList{"Name", "IP/DNS", "Port", "ID", "Password"}));
        QCOMPARE(shown(table, 2, 0), QString("Depot"));
        QCOMPARE(shown(table, 2, 4), QString("***"));

        editCell(table, 2, 1, "192.168.7.9");
        editCell(table, 2, 4, "pässword");
        if (QTest::currentTestFailed()) return;
        QVERIFY2(book && book->isVisible(), "Enter ends the edit, not the window");
        QCOMPARE(shown(table, 2, 4), QString("********"));
        if (state == "connected") {
            QTRY_VERIFY_WITH_TIMEOUT(w->dialog().cameUp(), kUpTimeoutMs);
        } else if (state == "connecting") {
            QCOMPARE(int(w->dialog().m_isConnected), 1);
            QVERIFY(!w->dialog().cameUp());
        }
        clickRow(table, 2);
        QTest::mouseClick(book->dialog()->selectButton(), Qt::LeftButton);

        QTRY_VERIFY(!book);
        QVERIFY(!shell.siteEntryWindow());
        if (state == "idle") {
            QCOMPARE(formOf(*w), (Form{"192.168.7.9", "15445", "keeper", "pässword"}));
        } else {
            QCOMPARE(formOf(*w), before);
        }
        // Saved either way.
        SiteEntryController saved = savedBook();
        QCOMPARE(saved.getEntryResult(2),
                 (SiteEntry{"Depot", "192.168.7.9", "15445", "keeper", "pässword"}));
        w->close();
    }

    void closingWithoutSelectSavesButLeavesTheForm_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("close button") << "button";
        QTest::newRow("window's close") << "window";
        QTest::newRow("Escape") << "escape";
        QTest::newRow("select with no row chosen") << "select";
    }
    void closingWithoutSelectSavesButLeavesTheForm() {
        QFETCH(QString, how);
        seedBook(0, kOffice);
        AppShell shell;
        MainWindow* w = shell.newLiveWindow();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        const Form typed{"192.0.2.1", "5445", "guest", "pw"};
        typeForm(*w, typed);

        QTest::mouseClick(w->entryButton(), Qt::LeftButton);
        QPointer<SiteEntryWindow> book = shell.siteEntryWindow();
        QVERIFY(book);
        QTableView* table = tableOf(book);
        editCell(table, 5, 0, "Annex");
        editCell(table, 5, 1, "annex.example.org");
        if (QTest::currentTestFailed()) return;
        clickRow(table, 5);

        if (how == "button") {
            QTest::mouseClick(book->dialog()->closeButton(), Qt::LeftButton);
        } else if (how == "window") {
            book->close();
        } else if (how == "escape") {
            QTest::keyClick(book, Qt::Key_Escape);
        } else {
            table->clearSelection();
            QTest::mouseClick(book->dialog()->selectButton(), Qt::LeftButton);
        }
        QTRY_VERIFY(!book);
        QCOMPARE(formOf(*w), typed);
        SiteEntryController saved = savedBook();
        QCOMPARE(saved.getEntryResult(0), kOffice);
        QCOMPARE(saved.cell(0, 5), std::string("Annex"));
        QCOMPARE(saved.cell(1, 5), std::string("annex.example.org"));

        // The choice is not remembered: a later select of another row fills only that one.
        QTest::mouseClick(w->entryButton(), Qt::LeftButton);
        book = shell.siteEntryWindow();
        QVERIFY(book);
        clickRow(tableOf(book), 5);
        QTest::mouseClick(book->dialog()->selectButton(), Qt::LeftButton);
        QTRY_VERIFY(!book);
        QCOMPARE(formOf(*w), (Form{"annex.example.org", "", "", ""}));
    }

    // An edit still open when the window closes is kept, not dropped.
    void openEditIsKept_data() {
        QTest::addColumn<bool>("select");
        QTest::newRow("select button") << true;
        QTest::newRow("window's close") << false;
    }
    void openEditIsKept() {
        QFETCH(bool, select);
        AppShell shell;
        MainWindow* w = shell.newLiveWindow();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QTest::mouseClick(w->entryButton(), Qt::LeftButton);
        QPointer<SiteEntryWindow> book = shell.siteEntryWindow();
        QVERIFY(book);
        QTableView* table = tableOf(book);
        clickRow(table, 9);
        QLineEdit* editor = openEditor(table, 9, 1);
        QVERIFY(editor);
        QTest::keyClicks(editor, "half.typed.example");
        if (select) {
            QTest::mouseClick(book->dialog()->selectButton(), Qt::LeftButton);
        } else {
            book->close();
        }
        QTRY_VERIFY(!book);
        QCOMPARE(w->addressField()->text(), QString(select ? "half.typed.example" : ""));
        QCOMPARE(savedBook().cell(1, 9), std::string("half.typed.example"));
    }

    // The menu opens the book for editing only: there is no form to fill.
    void menuOpensTheBookWithoutAnOwner() {
        seedBook(1, kDepot);
        AppShell shell;
        MainWindow* w = shell.newLiveWindow();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        const Form before = formOf(*w);
        QAction* entry = nullptr;
        for (QAction* a : w->menuBar()->findChildren<QAction*>()) {
            if (a->text() == "&Address Book") entry = a;
        }
        QVERIFY(entry);
        entry->trigger();
        QPointer<SiteEntryWindow> book = shell.siteEntryWindow();
        QVERIFY(book);
        entry->trigger();
        QCOMPARE(shell.siteEntryWindow(), book.data());  // one book at a time
        clickRow(tableOf(book), 1);
        QTest::mouseClick(book->dialog()->selectButton(), Qt::LeftButton);
        QTRY_VERIFY(!book);
        QCOMPARE(formOf(*w), before);
    }

    void saveThatFailsIsToldToTheUser() {
        // A folder where the file belongs cannot be replaced.
        std::filesystem::create_directories(m_bookPath);
        AppShell shell;
        MainWindow* w = shell.newLiveWindow();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QTest::mouseClick(w->entryButton(), Qt::LeftButton);
        QPointer<SiteEntryWindow> book = shell.siteEntryWindow();
        QVERIFY(book);
        QString alertText;
        QTimer poll;
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, this, [&] {
            for (QWidget* top : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(top);
                if (!box || !box->isVisible()) continue;
                alertText = box->text();
                box->done(0);
            }
        });
        poll.start();
        QTest::mouseClick(book->dialog()->closeButton(), Qt::LeftButton);
        QTRY_VERIFY(!book);
        QVERIFY(alertText.contains("could not be saved"));
        std::filesystem::remove_all(m_bookPath);
    }

  private:
    QTemporaryDir m_data;
    std::string m_bookPath;
};

QTEST_MAIN(TestSiteEntry)
#include "tst_site_entry.moc"
