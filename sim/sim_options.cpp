#include "sim/sim_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <string_view>

namespace zaq::sim {

std::string defaultTitle(int channel) {
    char text[32];
    std::snprintf(text, sizeof text, "CH-%02d", channel + 1);
    return text;
}

std::string titleFor(const SimOptions& options, int channel) {
    auto it = options.titles.find(channel);
    return it != options.titles.end() ? it->second : defaultTitle(channel);
}

namespace {

bool parseInt(std::string_view text, long lo, long hi, long& out) {
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < lo || value > hi) {
        return false;
    }
    out = value;
    return true;
}

// Reads "CH=VALUE" as used by --login-result and --title.
bool splitChannel(std::string_view text, int& channel, std::string_view& value) {
    size_t eq = text.find('=');
    long ch = 0;
    if (eq == std::string_view::npos || !parseInt(text.substr(0, eq), 0, 255, ch)) return false;
    channel = int(ch);
    value = text.substr(eq + 1);
    return true;
}

using Setter = std::string (*)(std::string_view value, SimOptions& o);

// Integer flags share one shape: a range and the field it lands in.
template <typename T>
std::string setInt(std::string_view v, long lo, long hi, T& field) {
    long n = 0;
    if (!parseInt(v, lo, hi, n)) {
        return "expects a number from " + std::to_string(lo) + " to " + std::to_string(hi);
    }
    field = T(n);
    return {};
}

struct Flag {
    const char* name;
    bool takes_value;
    Setter set;
    const char* arg;  // placeholder shown in the usage text
    const char* help;
};

const Flag kFlags[] = {
    {"--bind", true,
     [](std::string_view v, SimOptions& o) {
         o.bind_address = std::string(v);
         return std::string();
     },
     "ADDR", "address to listen on (default 127.0.0.1)"},
    {"--port", true, [](std::string_view v, SimOptions& o) { return setInt(v, 0, 65535, o.port); },
     "N", "TCP port, 0 = any free one (default 5445)"},
    {"--max-channel", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 0, 255, o.max_channel); }, "N",
     "channels served, sent in the login reply (default 16)"},
    {"--device-type", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 0, 255, o.device_type); }, "N",
     "device type in the login reply (default 199)"},
    {"--oem-type", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 0, 255, o.oem_type); }, "N",
     "OEM type in the login reply (default 0)"},
    {"--user-rights", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 0, 255, o.user_rights); }, "N",
     "user rights in the login reply (default 0)"},
    {"--protocol-version", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 0, 999, o.protocol_version); }, "N",
     "protocol version announced (default 8)"},
    {"--no-get-parameter", false,
     [](std::string_view, SimOptions& o) {
         o.announce_get_parameter = false;
         return std::string();
     },
     "", "leave GET_PARAMETER out of the OPTIONS method list"},
    {"--user", true,
     [](std::string_view v, SimOptions& o) {
         o.user_id = std::string(v);
         return std::string();
     },
     "ID", "accept only this login ID (refusal -2)"},
    {"--password", true,
     [](std::string_view v, SimOptions& o) {
         o.password = std::string(v);
         return std::string();
     },
     "PW", "accept only this password (refusal -3)"},
    {"--login-result", true,
     [](std::string_view v, SimOptions& o) {
         int ch = 0;
         std::string_view rest;
         long result = 0;
         if (!splitChannel(v, ch, rest) || !parseInt(rest, -128, 127, result)) {
             return std::string("expects CH=RESULT, e.g. 3=-2");
         }
         o.login_result[ch] = int(result);
         return std::string();
     },
     "CH=R", "force login result R on channel CH (repeatable)"},
    {"--web-port", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 0, 65535, o.web_port); }, "N",
     "web port in the login reply (default 80)"},
    {"--ssl-port", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 0, 65535, o.secure_web_port); }, "N",
     "secure web port in the keep-alive status (default 443)"},
    {"--title", true,
     [](std::string_view v, SimOptions& o) {
         int ch = 0;
         std::string_view text;
         if (!splitChannel(v, ch, text)) return std::string("expects CH=TEXT");
         o.titles[ch] = std::string(text.substr(0, 50));
         return std::string();
     },
     "CH=TEXT", "camera title of channel CH, at most 50 bytes (repeatable)"},
    {"--keepalive-form", true,
     [](std::string_view v, SimOptions& o) {
         long n = 0;
         if (!parseInt(v, 0, 1000, n) || (n != 112 && n != 36 && n != 32)) {
             return std::string("expects 112, 36 or 32");
         }
         o.keepalive_form = int(n);
         return std::string();
     },
     "N", "keep-alive reply length: 112, 36 or 32 (default 112)"},
    {"--codec", true,
     [](std::string_view v, SimOptions& o) {
         if (v == "h264") {
             o.codec = VideoCodec::H264;
         } else if (v == "h265") {
             o.codec = VideoCodec::H265;
         } else {
             return std::string("expects h264 or h265");
         }
         return std::string();
     },
     "h264|h265", "video codec announced (default h264)"},
    {"--no-audio", false,
     [](std::string_view, SimOptions& o) {
         o.audio = false;
         return std::string();
     },
     "", "announce no audio stream"},
    {"--split-writes", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 0, 1 << 20, o.split_writes); }, "N",
     "write at most N bytes at a time (default 0 = no limit)"},
    {"--split-pause-ms", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 0, 1000, o.split_pause_ms); }, "MS",
     "pause between split writes (default 2)"},
    {"--silent", true,
     [](std::string_view v, SimOptions& o) {
         std::string method(v);
         std::transform(method.begin(), method.end(), method.begin(),
                        [](unsigned char c) { return char(std::toupper(c)); });
         o.silent_methods.insert(method);
         return std::string();
     },
     "METHOD", "never answer requests of METHOD (repeatable)"},
    {"--transcript", true,
     [](std::string_view v, SimOptions& o) {
         o.transcript_path = std::string(v);
         return std::string();
     },
     "FILE", "write one line per request to FILE"},
    {"--max-connections", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 1, 4096, o.max_connections); }, "N",
     "close connections beyond N open ones (default 64)"},
};

}  // namespace

ParseOutcome parseSimOptions(int argc, const char* const* argv, SimOptions& options) {
    ParseOutcome outcome;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            outcome.help = true;
            return outcome;
        }
        // Both "--flag value" and "--flag=value".
        std::string_view name = arg;
        std::optional<std::string_view> inline_value;
        if (size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
        }
        const Flag* flag = nullptr;
        for (const Flag& f : kFlags) {
            if (name == f.name) flag = &f;
        }
        if (!flag) {
            outcome.error = "unknown option " + std::string(arg);
            return outcome;
        }
        std::string_view value;
        if (flag->takes_value) {
            if (inline_value) {
                value = *inline_value;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                outcome.error = std::string(flag->name) + " needs a value";
                return outcome;
            }
        } else if (inline_value) {
            outcome.error = std::string(flag->name) + " takes no value";
            return outcome;
        }
        if (std::string err = flag->set(value, options); !err.empty()) {
            outcome.error = std::string(flag->name) + " " + err;
            return outcome;
        }
    }
    outcome.ok = true;
    return outcome;
}

const char* simUsage() {
    static const std::string text = [] {
        std::string t = "usage: zaq-dvr-sim [options]\n";
        char line[160];
        for (const Flag& f : kFlags) {
            std::string lead = std::string(f.name) + (*f.arg ? " " : "") + f.arg;
            std::snprintf(line, sizeof line, "  %-24s %s\n", lead.c_str(), f.help);
            t += line;
        }
        std::snprintf(line, sizeof line, "  %-24s %s\n", "--help", "this text");
        t += line;
        return t;
    }();
    return text.c_str();
}

}  // namespace zaq::sim
