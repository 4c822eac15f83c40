// The widget pieces without a DVR: the main-thread queue, the video box with the controller's
// layouts, and the channel pane's image hand-over and painting.
#include <QtTest>

#include <QPainter>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "protocol/log.h"
#include "ui/Main_Dialog.h"
#include "ui/widgets/Artwork.h"
#include "ui/widgets/PaneHost.h"
#include "ui/widgets/QtMainQueue.h"
#include "ui/widgets/VideoCIView.h"

using namespace zaq;

namespace {

QImage solid(QColor colour, QSize size = QSize(64, 48)) {
    QImage img(size, QImage::Format_RGB32);
    img.fill(colour);
    return img;
}

// A controller on the real video box with real panes; every other control is a plain one.
struct BoxRig {
    explicit BoxRig(QSize boxSize) {
        host.resize(boxSize);
        for (int slot = 0; slot < kMaxSlots; ++slot) {
            panes[slot] = VideoCIView::create(slot, art::logoImage());
            host.setPane(slot, panes[slot]->widget());
        }
        LiveOutlets o;
        o.panes = &host;
        for (int slot = 0; slot < kMaxSlots; ++slot)
            o.views[slot] = panes[slot];
        dialog = std::make_unique<Main_Dialog>(queue, o);
        host.onResized = [this] { dialog->relayout(); };
        dialog->awakeFromNib();
    }
    ~BoxRig() { dialog.reset(); }

    QList<int> visibleSlots() const {
        QList<int> shown;
        for (int slot = 0; slot < kMaxSlots; ++slot) {
            if (!panes[slot]->widget()->isHidden()) shown.append(slot);
        }
        return shown;
    }

    QtMainQueue queue;
    PaneHost host;
    VideoCIView* panes[kMaxSlots] = {};
    std::unique_ptr<Main_Dialog> dialog;
};

}  // namespace

class TestWidgets : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        setLogSink([](const std::string&) {});
    }

    // Qt's offscreen platform crashes a QOpenGLWidget: its panes must be raster ones.
    void panesSuitThePlatform() {
        const bool gpu = VideoCIView::backend() == VideoCIView::Backend::Gpu;
        qInfo("channel panes on %s: %s", qPrintable(QGuiApplication::platformName()),
              gpu ? "OpenGL" : "raster");
        if (QGuiApplication::platformName() == "offscreen") QVERIFY(!gpu);
    }

    void queueRunsWorkOnTheGuiThreadInOrder() {
        QtMainQueue queue;
        constexpr int kThreads = 4, kEach = 500;
        std::vector<std::vector<int>> seen(kThreads);  // GUI thread only
        std::atomic<int> offThread{0};
        const auto gui = std::this_thread::get_id();
        std::vector<std::thread> posters;
        for (int t = 0; t < kThreads; ++t) {
            posters.emplace_back([&, t] {
                for (int k = 0; k < kEach; ++k) {
                    queue.post([&, t, k] {
                        if (std::this_thread::get_id() != gui) ++offThread;
                        seen[size_t(t)].push_back(k);
                    });
                }
            });
        }
        for (auto& p : posters)
            p.join();
        QTRY_VERIFY_WITH_TIMEOUT(
            std::all_of(seen.begin(), seen.end(), [](auto& s) { return s.size() == kEach; }),
            10000);
        QCOMPARE(offThread.load(), 0);
        for (const auto& s : seen)
            QVERIFY(std::is_sorted(s.begin(), s.end()));
    }

    void queueTimerRepeatsUntilInvalidated() {
        QtMainQueue queue;
        int ticks = 0;
        auto timer = queue.scheduleTimer(std::chrono::milliseconds(20), [&] { ++ticks; });
        QVERIFY(timer->isValid());
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 3, 5000);
        timer->invalidate();
        QVERIFY(!timer->isValid());
        int stopped = ticks;
        QTest::qWait(100);
        QCOMPARE(ticks, stopped);
    }

    // Box 1000 x 800: the controller's frames (origin bottom left) land top-left in Qt.
    void boxPlacesPanes_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("slot");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<int>("visible");
        QTest::newRow("16: first pane top left") << 16 << 0 << QRect(11, 11, 243, 193) << 16;
        QTest::newRow("16: last pane bottom right") << 16 << 15 << QRect(746, 596, 243, 193) << 16;
        QTest::newRow("4: third pane bottom left") << 4 << 2 << QRect(11, 401, 488, 388) << 4;
        QTest::newRow("10: large pane bottom left") << 10 << 8 << QRect(11, 402, 488, 387) << 10;
        QTest::newRow("10: small pane second row") << 10 << 4 << QRect(11, 206, 243, 193) << 10;
        QTest::newRow("1: the whole box") << 1 << 0 << QRect(11, 11, 978, 778) << 1;
    }
    void boxPlacesPanes() {
        QFETCH(int, mode);
        QFETCH(int, slot);
        QFETCH(QRect, geometry);
        QFETCH(int, visible);
        BoxRig rig(QSize(1000, 800));
        rig.dialog->setSplitMode(mode, 0, 0);
        QCOMPARE(rig.panes[slot]->widget()->geometry(), geometry);
        QCOMPARE(rig.visibleSlots().size(), visible);
        QCOMPARE(rig.host.selectionRect(), rig.panes[0]->widget()->geometry());
    }

    void boxFollowsItsSize() {
        BoxRig rig(QSize(1000, 800));
        rig.host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.host));
        rig.dialog->setSelectChannel(5);
        rig.host.resize(600, 480);
        // 16 panes of (600 - 28) / 4 x (480 - 28) / 4; channel 5 is row 1, column 1.
        QTRY_COMPARE(rig.panes[5]->widget()->geometry(), QRect(156, 126, 143, 113));
        QCOMPARE(rig.host.selectionRect(), QRect(156, 126, 143, 113));
    }

    // Each row: what the pane is handed, in order, then what it shows.
    void paneShowsNewestOrLogo_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("shown");
        QTest::newRow("logo mode at start") << QStringList{"red"} << "logo";
        QTest::newRow("image once logo mode is off") << QStringList{"off", "red"} << "red";
        QTest::newRow("newest wins") << QStringList{"off", "red", "blue"} << "blue";
        QTest::newRow("logo replaces a pending image")
            << QStringList{"off", "red", "setLogo"} << "logo";
        QTest::newRow("next image replaces the logo")
            << QStringList{"off", "red", "setLogo", "blue"} << "blue";
        QTest::newRow("logo mode drops the last image")
            << QStringList{"off", "red", "on", "off"} << "logo";
    }
    void paneShowsNewestOrLogo() {
        QFETCH(QStringList, steps);
        QFETCH(QString, shown);
        const QImage logo = solid(Qt::green);
        std::unique_ptr<VideoCIView> pane(VideoCIView::create(3, logo));
        pane->widget()->resize(160, 120);
        for (const QString& step : steps) {
            if (step == "off") pane->SetLogoView(false);
            if (step == "on") pane->SetLogoView(true);
            if (step == "setLogo") pane->setLogo();
            if (step == "red") pane->setImage(solid(Qt::red));
            if (step == "blue") pane->setImage(solid(Qt::blue));
        }
        QColor expected = shown == "logo" ? QColor(Qt::green) : QColor(shown);
        QCOMPARE(pane->showingLogo(), shown == "logo");
        // Stretched over the whole pane: every corner has the source's colour.
        QImage drawn = pane->widget()->grab().toImage();
        QCOMPARE(drawn.size(), QSize(160, 120));
        for (QPoint p : {QPoint(0, 0), QPoint(159, 0), QPoint(0, 119), QPoint(159, 119)}) {
            QCOMPARE(drawn.pixelColor(p), expected);
        }
    }

    void paneTakesImagesFromAnotherThread() {
        std::unique_ptr<VideoCIView> pane(VideoCIView::create(0, solid(Qt::green)));
        pane->widget()->resize(160, 120);
        pane->widget()->show();
        QVERIFY(QTest::qWaitForWindowExposed(pane->widget()));
        pane->SetLogoView(false);
        const int paintsBefore = pane->paints();
        constexpr int kImages = 300;
        std::thread renderer([&] {
            for (int k = 1; k <= kImages; ++k) {
                pane->setImage(solid(QColor(k % 256, 0, 0), QSize(32, 24)));
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        // The GUI thread keeps painting while the images arrive.
        while (pane->imagesHandedOver() < kImages)
            QTest::qWait(5);
        renderer.join();
        QTRY_VERIFY(pane->paints() > paintsBefore);
        QCOMPARE(pane->image().pixelColor(0, 0), QColor(kImages % 256, 0, 0));
        QTRY_COMPARE(pane->widget()->grab().toImage().pixelColor(80, 60),
                     QColor(kImages % 256, 0, 0));
    }

    void paneClicksReachTheController_data() {
        QTest::addColumn<bool>("doubleClick");
        QTest::addColumn<int>("clickCount");
        QTest::newRow("press selects") << false << 1;
        QTest::newRow("double click toggles") << true << 2;
    }
    void paneClicksReachTheController() {
        QFETCH(bool, doubleClick);
        QFETCH(int, clickCount);
        std::unique_ptr<VideoCIView> pane(VideoCIView::create(7, solid(Qt::green)));
        QList<QPair<int, int>> clicks;
        pane->onClicked = [&](int slot, int count) { clicks.append({slot, count}); };
        if (doubleClick) {
            QTest::mouseDClick(pane->widget(), Qt::LeftButton);
        } else {
            QTest::mouseClick(pane->widget(), Qt::LeftButton);
        }
        QVERIFY(!clicks.isEmpty());
        QCOMPARE(clicks.last(), qMakePair(7, clickCount));
        QTest::mouseClick(pane->widget(), Qt::RightButton);
        QCOMPARE(clicks.last(), qMakePair(7, clickCount));
    }
};

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
