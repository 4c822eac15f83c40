// zaq-cli: headless sessions for scripts and tests. Runs the same controllers as the windows,
// with plain outlets that print what the window would show.
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <QGuiApplication>

#include "cli/cli_args.h"
#include "cli/json.h"
#include "live/MainQueue.h"
#include "protocol/log.h"
#include "ui/Main_Dialog.h"

int runBackup(const zaq::CliArgs& args);  // cli_backup.cpp

namespace {

std::atomic<bool> g_interrupted{false};

void onSignal(int) {
    g_interrupted = true;
}

const char* kUsage =
    "usage: zaq-cli connect --host H [--port 5445] [--user ID] [--password PW]\n"
    "                       [--seconds N] [--snapshot DIR] [--json] [--verbose] [--audio]\n"
    "       zaq-cli backup --host H [--port 5445] [--user ID] [--password PW] --channels 1,3\n"
    "                      --from \"YYYY-MM-DD HH:MM:SS\" --to \"YYYY-MM-DD HH:MM:SS\" --out DIR\n"
    "                      [--json] [--verbose]\n";

int usage(const std::string& error) {
    if (!error.empty()) std::fprintf(stderr, "zaq-cli: %s\n", error.c_str());
    std::fputs(kUsage, stderr);
    return 2;
}

class Printer {
  public:
    explicit Printer(bool json) : m_json(json) {}
    void status(const std::string& text) {
        if (m_json) {
            std::printf("{\"event\":\"status\",\"text\":%s}\n", zaq::jsonString(text).c_str());
        } else {
            std::printf("%s\n", text.c_str());
        }
        std::fflush(stdout);
    }
    void summary(const std::vector<std::pair<std::string, std::string>>& fields) {
        event("summary", fields);
    }
    // One event: a JSON object per line, or "name: key=value ..." as text.
    void event(const std::string& name,
               const std::vector<std::pair<std::string, std::string>>& fields) {
        if (m_json) {
            std::string line = "{\"event\":\"" + name + "\"";
            for (auto& [k, v] : fields)
                line += ",\"" + k + "\":" + v;
            std::printf("%s}\n", line.c_str());
        } else {
            std::printf("%s:", name.c_str());
            for (auto& [k, v] : fields)
                std::printf(" %s=%s", k.c_str(), v.c_str());
            std::printf("\n");
        }
        std::fflush(stdout);
    }

  private:
    bool m_json;
};

int runConnect(const zaq::CliArgs& args) {
    std::string host = args.get("host");
    if (host.empty()) return usage("connect needs --host");
    int seconds = -1;
    if (args.has("seconds") && !zaq::parseInt(args.get("seconds"), 0, 86400 * 365, &seconds)) {
        return usage("--seconds takes a whole number");
    }
    int port = 5445;
    if (args.has("port") && !zaq::parseInt(args.get("port"), 0, 65535, &port)) {
        return usage("--port takes a number from 0 to 65535");
    }
    Printer out(args.has("json"));
    if (args.has("verbose")) {
        zaq::setLogSink(
            [](const std::string& line) { std::fprintf(stderr, "log: %s\n", line.c_str()); });
    } else {
        zaq::setLogSink([](const std::string&) {});
    }

    // Without --audio the sound path runs against SDL's silent driver, unless one is chosen.
    if (!args.has("audio") && !getenv("SDL_AUDIODRIVER")) setenv("SDL_AUDIODRIVER", "dummy", 1);
    if (args.has("snapshot")) {
        std::string dir = args.get("snapshot");
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return usage("cannot create " + dir);
    }

    zaq::HeadlessLoop loop;
    zaq::PlainText address(host), portField(std::to_string(port)), id(args.get("user", "usher")),
        pwd(args.get("password", "7394")), status;
    status.onChange = [&](const std::string& text) { out.status(text); };
    zaq::LiveOutlets outlets;
    outlets.ipdns = &address;
    outlets.port = &portField;
    outlets.id = &id;
    outlets.pwd = &pwd;
    outlets.timeField = &status;
    zaq::Main_Dialog dialog(loop, outlets);
    dialog.awakeFromNib();

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    dialog.connectButtonPressed();

    auto start = std::chrono::steady_clock::now();
    auto over = [&] {
        if (g_interrupted || !dialog.m_isConnected) return true;
        return seconds >= 0 &&
               std::chrono::steady_clock::now() - start >= std::chrono::seconds(seconds);
    };
    while (!over())
        loop.runUntilTrue(over, std::chrono::milliseconds(100));

    bool cameUp = dialog.cameUp();
    int channels = dialog.m_loginParam[0].max_channel;
    int64_t dvrTime = dialog.latestDvrTime();
    // What each channel delivered, read before the disconnect resets the session.
    std::vector<std::vector<std::pair<std::string, std::string>>> perChannel;
    for (int slot = 0; slot < std::min(channels, int(zaq::kMaxSlots)); ++slot) {
        auto& d = dialog.decoders();
        QImage last = dialog.captureView(slot) ? dialog.captureView(slot)->lastImage() : QImage();
        perChannel.push_back({{"channel", std::to_string(slot + 1)},
                              {"title", zaq::jsonString(dialog.channelName(slot))},
                              {"frames_assembled", std::to_string(dialog.m_framesStored[slot])},
                              {"frames_decoded", std::to_string(d.framesDecoded[slot])},
                              {"width", std::to_string(last.width())},
                              {"height", std::to_string(last.height())}});
        if (args.has("snapshot") && !last.isNull()) {
            char name[32];
            std::snprintf(name, sizeof name, "/ch%02d.png", slot + 1);
            QString path = QString::fromStdString(args.get("snapshot")) + name;
            if (!last.save(path, "PNG")) out.status("cannot write " + path.toStdString());
        }
    }
    std::string error = dialog.errorString();
    if (dialog.m_isConnected) dialog.connectButtonPressed();  // disconnect
    loop.runFor(std::chrono::milliseconds(0));

    for (auto& fields : perChannel)
        out.event("channel", fields);
    out.summary(
        {{"connected", cameUp ? "true" : "false"},
         {"channels", std::to_string(channels)},
         {"dvr_time", zaq::jsonString(dvrTime ? zaq::Main_Dialog::formatDvrTime(dvrTime) : "")},
         {"error", zaq::jsonString(error)}});
    return cameUp ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Titles are drawn with the GUI module's fonts; no display is needed.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);
    if (argc < 2) return usage("");
    std::string command = argv[1];
    zaq::CliArgs args;
    std::string error;
    if (!args.parse(argc - 2, argv + 2, {"json", "verbose", "audio"}, &error)) return usage(error);
    if (command == "connect") return runConnect(args);
    if (command == "backup") return runBackup(args);
    return usage("unknown command: " + command);
}
