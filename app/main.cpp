// zaq-client: the desktop program. Opens the first live window; with --connect it fills the
// form and connects at once.
#include <QApplication>
#include <QCommandLineParser>
#include <QPointer>
#include <QTimer>

#include <cstdio>

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
    parser.addOptions(
        {connectOpt, userOpt, passwordOpt, verboseOpt, softwareOpt, shotOpt, afterOpt});
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
    int code = app.exec();
    return status ? status : code;
}
