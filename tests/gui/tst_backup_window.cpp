// The backup window on the offscreen platform: Qt Test clicks its controls and a backup runs
// against the in-process simulated DVR.
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "backup/widgets/BackupWindow.h"
#include "sim/dvr_sim.h"

using namespace zaq;

namespace {

constexpr int64_t kBegin = 1772872200;  // 2026-03-07 08:30:00

sim::SimOptions simWith(int channels, int width, int height) {
    sim::SimOptions o;
    o.port = 0;
    o.max_channel = channels;
    o.width = width;
    o.height = height;
    return o;
}

// What the playback window hands over: the DVR and a range of `seconds` from kBegin.
void logIn(BackupWindow& w, const sim::DvrSim& sim, int seconds) {
    w.loginInfo({{"IP", "127.0.0.1"},
                 {"PORT", std::to_string(sim.port())},
                 {"ID", "usher"},
                 {"PASS", "7394"},
                 {"StartDate", std::to_string(kBegin)},
                 {"EndDate", std::to_string(kBegin + seconds)}});
}

}  // namespace

class TestBackupWindow : public QObject {
    Q_OBJECT
  private slots:
    void allBoxSetsEveryChannel() {
        BackupWindow w;
        w.show();
        QTest::mouseClick(w.allBox(), Qt::LeftButton);
        QCOMPARE(w.dialog().SelectChnnalMASK.load(), uint64_t(0xFFFF));
        QVERIFY(w.channelBox(15)->isChecked());
        QTest::mouseClick(w.channelBox(4), Qt::LeftButton);
        QCOMPARE(w.dialog().SelectChnnalMASK.load(), uint64_t(0xFFEF));
    }

    void startRunsTheBackupAndCloseFinishesIt() {
        qputenv("TZ", "UTC0");
        tzset();
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        sim::DvrSim sim(simWith(4, 352, 240));
        QVERIFY(sim.start());
        QVERIFY(sim.waitForMedia(std::chrono::seconds(120)));

        BackupWindow w;
        w.show();
        logIn(w, sim, 2);
        QTest::mouseClick(w.channelBox(1), Qt::LeftButton);
        w.folderEdit()->setText(dir.path());
        QTest::mouseClick(w.startButton(), Qt::LeftButton);
        QVERIFY(!w.startButton()->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(w.statusLabel()->text(), QString("BACKUP COMPLATE"), 60000);
        QCOMPARE(w.progressBar()->value(), 100);
        QTest::mouseClick(w.closeButton(), Qt::LeftButton);
        QVERIFY(QFile::exists(dir.filePath("[CH02]08_30_00.avi")));
        QVERIFY(QFile::exists(dir.filePath("[CH02]08_30_00.smi")));
    }

    // For the documentation: with ZAQ_SCREENSHOT=FILE set, saves the window in the middle of a
    // backup running at the DVR's real-time pace, then closes it (which finishes the files).
    void screenshotDuringABackup() {
        const QString file = qEnvironmentVariable("ZAQ_SCREENSHOT");
        if (file.isEmpty()) QSKIP("set ZAQ_SCREENSHOT=FILE to take the picture");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        sim::SimOptions o = simWith(8, 704, 480);
        o.backup_pace_percent = 100;
        sim::DvrSim sim(o);
        QVERIFY(sim.start());
        QVERIFY(sim.waitForMedia(std::chrono::seconds(120)));

        BackupWindow w;
        w.show();
        logIn(w, sim, 60);
        for (int slot : {0, 2, 5})
            QTest::mouseClick(w.channelBox(slot), Qt::LeftButton);
        w.folderEdit()->setText(dir.path());
        QTest::mouseClick(w.startButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(w.progressBar()->value() >= 20, 60000);
        QVERIFY(w.grab().save(file));
        QTest::mouseClick(w.closeButton(), Qt::LeftButton);
    }
};

QTEST_MAIN(TestBackupWindow)
#include "tst_backup_window.moc"
