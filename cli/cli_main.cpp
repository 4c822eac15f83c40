// zaq-cli: headless sessions for scripts and tests. Runs the same controllers as the windows,
// with plain outlets that print what the window would show.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cli/cli_args.h"
#include "cli/json.h"
#include "live/MainQueue.h"
#include "protocol/log.h"
#include "ui/Main_Dialog.h"

namespace {

std::atomic<bool> g_interrupted{false};

void onSignal(int) { g_interrupted = true; }

const char* kUsage =
    "usage: zaq-cli connect --host H [--port 5445] [--user ID] [--password PW]\n"
    "                       [--seconds N] [--json] [--verbose]\n";

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
        if (m_json) {
            std::string line = "{\"event\":\"summary\"";
            for (auto& [k, v] : fields) line += ",\"" + k + "\":" + v;
            std::printf("%s}\n", line.c_str());
        } else {
            std::printf("summary:");
            for (auto& [k, v] : fields) std::printf(" %s=%s", k.c_str(), v.c_str());
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
        zaq::setLogSink([](const std::string& line) { std::fprintf(stderr, "log: %s\n", line.c_str()); });
    } else {
        zaq::setLogSink([](const std::string&) {});
    }

    zaq::HeadlessLoop loop;
    zaq::PlainText address(host), portField(std::to_string(port)),
        id(args.get("user", "usher")), pwd(args.get("password", "7394")), status;
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
        return seconds >= 0 && std::chrono::steady_clock::now() - start >= std::chrono::seconds(seconds);
    };
    while (!over()) loop.runUntilTrue(over, std::chrono::milliseconds(100));

    bool cameUp = dialog.cameUp();
    int channels = dialog.m_loginParam[0].max_channel;
    std::string error = dialog.errorString();
    if (dialog.m_isConnected) dialog.connectButtonPressed();  // disconnect
    loop.runFor(std::chrono::milliseconds(0));

    out.summary({{"connected", cameUp ? "true" : "false"},
                 {"channels", std::to_string(channels)},
                 {"error", zaq::jsonString(error)}});
    return cameUp ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage("");
    std::string command = argv[1];
    zaq::CliArgs args;
    std::string error;
    if (!args.parse(argc - 2, argv + 2, {"json", "verbose"}, &error)) return usage(error);
    if (command == "connect") return runConnect(args);
    return usage("unknown command: " + command);
}
