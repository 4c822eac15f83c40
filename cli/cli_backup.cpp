// zaq-cli backup: copies the recordings of chosen channels over a time range into AVI and SAMI
// files, with the backup window's controller and plain outlets that print its status line.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>
#include <string>

#include "backup/BackupDialog.h"
#include "cli/cli_args.h"
#include "cli/json.h"
#include "live/MainQueue.h"
#include "protocol/log.h"

namespace {

std::atomic<bool> g_stop{false};
void onBackupSignal(int) {
    g_stop = true;
}

const char* kBackupUsage =
    "usage: zaq-cli backup --host H [--port 5445] [--user ID] [--password PW] --channels 1,3\n"
    "                      --from \"YYYY-MM-DD HH:MM:SS\" --to \"YYYY-MM-DD HH:MM:SS\" --out DIR\n"
    "                      [--json] [--verbose]\n";

int backupUsage(const std::string& error) {
    if (!error.empty()) std::fprintf(stderr, "zaq-cli: %s\n", error.c_str());
    std::fputs(kBackupUsage, stderr);
    return 2;
}

// "YYYY-MM-DD HH:MM:SS" in the machine's time zone.
bool parseLocalTime(const std::string& text, int64_t* out) {
    struct tm t {};
    char rest = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec, &rest) != 6) {
        return false;
    }
    if (t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 ||
        t.tm_min > 59 || t.tm_sec > 59 || t.tm_year < 1970 || t.tm_year > 2037) {
        return false;
    }
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    time_t s = mktime(&t);
    if (s == time_t(-1)) return false;
    *out = int64_t(s);
    return true;
}

// "1,3" (channel numbers from 1) into a slot mask.
bool parseChannels(const std::string& text, uint64_t* mask) {
    std::stringstream in(text);
    std::string item;
    *mask = 0;
    while (std::getline(in, item, ',')) {
        int ch = 0;
        if (!zaq::parseInt(item, 1, zaq::kMaxSlots, &ch)) return false;
        *mask |= uint64_t(1) << (ch - 1);
    }
    return *mask != 0;
}

}  // namespace

int runBackup(const zaq::CliArgs& args) {
    const std::string host = args.get("host");
    if (host.empty()) return backupUsage("backup needs --host");
    int port = 5445;
    if (args.has("port") && !zaq::parseInt(args.get("port"), 0, 65535, &port))
        return backupUsage("--port takes a number from 0 to 65535");
    uint64_t mask = 0;
    if (!parseChannels(args.get("channels"), &mask))
        return backupUsage("--channels takes channel numbers from 1 to 16, e.g. 1,3");
    int64_t from = 0, to = 0;
    if (!parseLocalTime(args.get("from"), &from) || !parseLocalTime(args.get("to"), &to))
        return backupUsage("--from and --to take \"YYYY-MM-DD HH:MM:SS\"");
    if (to < from) return backupUsage("--to lies before --from");
    const std::string dir = args.get("out");
    if (dir.empty()) return backupUsage("backup needs --out");
    if (!zaq::BackupDialog::DirectoryCreate(dir)) return backupUsage("cannot create " + dir);
    const bool json = args.has("json");
    if (args.has("verbose")) {
        zaq::setLogSink(
            [](const std::string& line) { std::fprintf(stderr, "log: %s\n", line.c_str()); });
    } else {
        zaq::setLogSink([](const std::string&) {});
    }

    zaq::HeadlessLoop loop;
    zaq::PlainBackupControls controls;
    for (int s = 0; s < zaq::kMaxSlots; ++s)
        controls.channels[size_t(s)]->setState((mask >> s) & 1);
    zaq::PlainText& folder = controls.folder;
    zaq::PlainProgressValue& progress = controls.progress;

    bool complete = false;
    controls.message.onChange = [&](const std::string& text) {
        if (json) {
            std::printf("{\"event\":\"status\",\"text\":%s,\"progress\":%d}\n",
                        zaq::jsonString(text).c_str(), int(progress.value()));
        } else {
            std::printf("%s\n", text.c_str());
        }
        std::fflush(stdout);
        if (text == "BACKUP COMPLATE") complete = true;
    };

    auto dialog = std::make_unique<zaq::BackupDialog>(loop);
    dialog->setOutlets(controls.outlets());
    dialog->LoginInfo({{"IP", host},
                       {"PORT", std::to_string(port)},
                       {"ID", args.get("user", "usher")},
                       {"PASS", args.get("password", "7394")},
                       {"StartDate", std::to_string(from)},
                       {"EndDate", std::to_string(to)}});
    folder.setText(dir);  // the chosen folder replaces the default one
    std::signal(SIGINT, onBackupSignal);
    std::signal(SIGTERM, onBackupSignal);
    dialog->BackupSatartButtonPressed();
    if (controls.startButton.enabled()) return backupUsage("--out is longer than 242 bytes");

    auto failed = [&] {
        return dialog->m_last_errno < 0 ||
               (dialog->m_isConnected && !dialog->errorString().empty());
    };
    auto over = [&] { return complete || g_stop || failed(); };
    while (!over())
        loop.runUntilTrue(over, std::chrono::milliseconds(100));
    const std::string error = dialog->errorString();
    // Finishes the files of a channel still running (interrupt), joins the session threads.
    dialog->connectButtonPressed();
    dialog.reset();
    if (json) {
        std::printf("{\"event\":\"summary\",\"complete\":%s,\"error\":%s}\n",
                    complete ? "true" : "false", zaq::jsonString(error).c_str());
    } else if (!complete) {
        std::printf("backup failed%s%s\n", error.empty() ? "" : ": ", error.c_str());
    }
    return complete ? 0 : 1;
}
