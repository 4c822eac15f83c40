// zaq-client: the desktop program. Opens the first live window; with --connect it fills the
// form and connects at once.
#include <QApplication>
#include <QCommandLineParser>
#include <QPointer>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "protocol/log.h"
#include "ui/widgets/AppShell.h"
#include "ui/widgets/MainWindow.h"
#include "ui/widgets/VideoCIView.h"

namespace {

struct Target {
    QString host;
    int port = 5445;
};

// "HOST" or "HOST:PORT"; false when the port is not a number from 0 to 65535.
bool parseTarget(const QString& text, Target* target) {
    int colon = text.lastIndexOf(QLatin1Char(':'));
    target->host = colon < 0 ? text : text.left(colon);
    if (target->host.isEmpty()) return false;
    if (colon < 0) return true;
    bool ok = false;
    int port = text.mid(colon + 1).toInt(&ok);
    if (!ok || port < 0 || port > 65535) return false;
    target->port = port;
    return true;
}

QCommandLineOption hidden(QCommandLineOption option) {
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    return option;
}

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// For benchmarks: once the window's session is up and has run 2 s, counts for `seconds` how
// many images each pane painted, the longest the GUI thread went without serving a 10 ms
// timer, and the process CPU; prints them and quits.
class PaneStats : public QObject {
  public:
    PaneStats(zaq::AppShell& shell, zaq::MainWindow* window, double seconds)
        : m_shell(shell), m_window(window), m_seconds(seconds) {
        connect(&m_tick, &QTimer::timeout, this, [this] { tick(); });
        m_tick.start(10);
    }

  private:
    using Clock = std::chrono::steady_clock;
    void tick() {
        const auto now = Clock::now();
        if (!m_window) return m_shell.quit();
        if (!m_window->dialog().cameUp()) return;
        if (m_upAt == Clock::time_point{}) m_upAt = now;
        if (now - m_upAt < std::chrono::seconds(2)) {
            m_last = now;
            return;
        }
        if (m_start == Clock::time_point{}) {
            m_start = m_last = now;
            m_cpu0 = processCpuSeconds();
            for (int s = 0; s < zaq::kMaxSlots; ++s)
                m_paints0[s] = m_window->pane(s)->paints();
            return;
        }
        m_maxGapMs =
            std::max(m_maxGapMs, std::chrono::duration<double, std::milli>(now - m_last).count());
        m_last = now;
        const double span = std::chrono::duration<double>(now - m_start).count();
        if (span < m_seconds) return;
        const double cpu = processCpuSeconds() - m_cpu0;
        double minRate = 1e9, sum = 0;
        for (int s = 0; s < zaq::kMaxSlots; ++s) {
            const double rate = (m_window->pane(s)->paints() - m_paints0[s]) / span;
            minRate = std::min(minRate, rate);
            sum += rate;
        }
        std::printf("panes=16 seconds=%.1f paints/s per pane: average %.2f, lowest %.2f\n", span,
                    sum / zaq::kMaxSlots, minRate);
        std::printf("GUI thread longest gap between 10 ms timer ticks: %.1f ms\n", m_maxGapMs);
        std::printf("process CPU: %.2f s = %.1f %% of one core\n", cpu, cpu / span * 100);
        std::fflush(stdout);
        m_tick.stop();
        m_shell.quit();
    }

    zaq::AppShell& m_shell;
    QPointer<zaq::MainWindow> m_window;
    double m_seconds;
    QTimer m_tick;
    Clock::time_point m_upAt{}, m_start{}, m_last{};
    double m_cpu0 = 0, m_maxGapMs = 0;
    int m_paints0[zaq::kMaxSlots] = {};
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZAQ Client"));
    QApplication::setApplicationVersion(QStringLiteral("0.1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Live view of networked DVRs."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption connectOpt(QStringLiteral("connect"),
                                  QStringLiteral("Connect at start to HOST[:PORT] (port 5445)."),
                                  QStringLiteral("HOST[:PORT]"));
    QCommandLineOption userOpt(QStringLiteral("user"), QStringLiteral("User ID for --connect."),
                               QStringLiteral("ID"), QStringLiteral("usher"));
    QCommandLineOption passwordOpt(QStringLiteral("password"),
                                   QStringLiteral("Password for --connect."), QStringLiteral("PW"),
                                   QStringLiteral("7394"));
    QCommandLineOption verboseOpt(QStringLiteral("verbose"),
                                  QStringLiteral("Print the log to standard error."));
    QCommandLineOption softwareOpt(
        QStringLiteral("software-panes"),
        QStringLiteral("Draw the video panes without OpenGL (for displays whose GL fails)."));
    // For documentation and checks: save a picture of the first window after a while, then quit.
    QCommandLineOption shotOpt = hidden(
        QCommandLineOption(QStringLiteral("screenshot"), QStringLiteral("Save the window to FILE."),
                           QStringLiteral("FILE")));
    QCommandLineOption afterOpt = hidden(QCommandLineOption(
        QStringLiteral("after"), QStringLiteral("Seconds before the screenshot."),
        QStringLiteral("SECONDS"), QStringLiteral("5")));
    QCommandLineOption statsOpt = hidden(QCommandLineOption(
        QStringLiteral("stats"),
        QStringLiteral("Measure pane paints, GUI-thread gaps and CPU for SECONDS, then quit."),
        QStringLiteral("SECONDS")));
    parser.addOptions(
        {connectOpt, userOpt, passwordOpt, verboseOpt, softwareOpt, shotOpt, afterOpt, statsOpt});
    parser.process(app);

    Target target;
    if (parser.isSet(connectOpt) && !parseTarget(parser.value(connectOpt), &target)) {
        std::fprintf(stderr, "zaq-client: --connect takes HOST or HOST:PORT (0 to 65535)\n");
        return 2;
    }
    bool ok = false;
    double after = parser.value(afterOpt).toDouble(&ok);
    if (!ok || after < 0) {
        std::fprintf(stderr, "zaq-client: --after takes a number of seconds\n");
        return 2;
    }
    if (parser.isSet(verboseOpt)) {
        zaq::setLogSink(
            [](const std::string& line) { std::fprintf(stderr, "log: %s\n", line.c_str()); });
    }
    if (parser.isSet(softwareOpt)) zaq::VideoCIView::setBackend(zaq::VideoCIView::Backend::Raster);

    zaq::AppShell::applyLook(app);
    zaq::AppShell shell;
    zaq::zlog("ZAQ_ClientAppDelegate applicationDidFinishLaunching");
    zaq::MainWindow* first = shell.newLiveWindow();
    if (parser.isSet(connectOpt)) {
        first->connectTo(target.host, target.port, parser.value(userOpt),
                         parser.value(passwordOpt));
    }

    int status = 0;
    if (parser.isSet(shotOpt)) {
        const QString file = parser.value(shotOpt);
        QPointer<zaq::MainWindow> window = first;
        QTimer::singleShot(int(after * 1000), &shell, [&shell, &status, window, file] {
            if (!window || !window->grab().save(file)) {
                std::fprintf(stderr, "zaq-client: cannot write %s\n", qPrintable(file));
                status = 1;
            }
            shell.quit();
        });
    }
    std::unique_ptr<PaneStats> stats;
    if (parser.isSet(statsOpt)) {
        const double seconds = parser.value(statsOpt).toDouble(&ok);
        if (!ok || seconds <= 0) {
            std::fprintf(stderr, "zaq-client: --stats takes a number of seconds\n");
            return 2;
        }
        stats = std::make_unique<PaneStats>(shell, first, seconds);
    }
    int code = app.exec();
    return status ? status : code;
}
