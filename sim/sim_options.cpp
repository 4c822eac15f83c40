#include "sim/sim_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
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

int loopFrames(const SimOptions& options) {
    return options.loop_frames > 0 ? options.loop_frames : options.gop;
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

// "WxH" with even sides, as 4:2:0 pictures need.
std::string setSize(std::string_view v, SimOptions& o) {
    size_t x = v.find('x');
    long w = 0, h = 0;
    if (x == std::string_view::npos || !parseInt(v.substr(0, x), 16, 3840, w) ||
        !parseInt(v.substr(x + 1), 16, 2160, h) || w % 2 != 0 || h % 2 != 0) {
        return "expects WIDTHxHEIGHT, even numbers up to 3840x2160";
    }
    o.width = int(w);
    o.height = int(h);
    return {};
}

std::string setDropAfter(std::string_view v, SimOptions& o) {
    double seconds = 0;
    auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
    if (ec != std::errc() || end != v.data() + v.size() || !(seconds > 0) || seconds > 86400) {
        return "expects seconds above 0, e.g. 5 or 2.5";
    }
    o.drop_after = std::chrono::milliseconds(std::lround(seconds * 1000));
    return {};
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
     "h264|h265", "video codec (default h264)"},
    {"--no-audio", false,
     [](std::string_view, SimOptions& o) {
         o.audio = false;
         return std::string();
     },
     "", "no audio stream"},
    {"--no-media", false,
     [](std::string_view, SimOptions& o) {
         o.media = false;
         return std::string();
     },
     "", "send replies only: no video, sound or sender reports"},
    {"--size", true, setSize, "WxH", "picture size (default 704x480)"},
    {"--fps", true, [](std::string_view v, SimOptions& o) { return setInt(v, 1, 240, o.fps); }, "N",
     "frames a second (default 30)"},
    {"--gop", true, [](std::string_view v, SimOptions& o) { return setInt(v, 1, 600, o.gop); }, "N",
     "frames from one key frame to the next (default 30)"},
    {"--bitrate", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 50, 50000, o.bitrate_kbps); }, "KBPS",
     "video bit rate in kbit/s (default 1000)"},
    {"--loop-frames", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 1, 3600, o.loop_frames); }, "N",
     "frames encoded and replayed in a loop (default one GOP)"},
    {"--payload-size", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 100, 65000, o.payload_size); }, "N",
     "RTP payload bytes before NAL units are fragmented (default 1400)"},
    {"--dvr-time", true,
     [](std::string_view v, SimOptions& o) {
         int64_t t = 0;
         if (!parseDvrTime(v, t)) return std::string("expects \"YYYY-MM-DD HH:MM:SS\" (UTC)");
         o.dvr_time = t;
         return std::string();
     },
     "TIME", "DVR clock at start, \"YYYY-MM-DD HH:MM:SS\" UTC (default: now)"},
    {"--queue-kib", true,
     [](std::string_view v, SimOptions& o) {
         long kib = 0;
         if (!parseInt(v, 16, 1 << 20, kib)) return std::string("expects 16 to 1048576");
         o.media_queue_bytes = size_t(kib) * 1024;
         return std::string();
     },
     "N", "media queued per connection before packets are dropped (default 4096)"},
    {"--send-buffer", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 0, 64 << 20, o.send_buffer); },
     "BYTES", "kernel send buffer of each connection (default 0 = the system's)"},
    {"--dump-stream", true,
     [](std::string_view v, SimOptions& o) {
         o.dump_stream_path = std::string(v);
         return std::string();
     },
     "FILE", "write channel 0's picture loop to FILE as an elementary stream"},
    {"--seq-gap-every", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 1, 1 << 30, o.seq_gap_every); }, "N",
     "fault: leave out a video sequence number after every N packets"},
    {"--drop-after", true, setDropAfter, "S",
     "fault: close each connection S seconds after it opened"},
    {"--garbage-every", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 1, 1 << 30, o.garbage_every); }, "N",
     "fault: garbage bytes between media units after every N units"},
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
    {"--backup-no-data", true,
     [](std::string_view v, SimOptions& o) {
         long ch = 0;
         if (!parseInt(v, 0, 255, ch)) return std::string("expects a channel number from 0");
         o.backup_no_data.insert(int(ch));
         return std::string();
     },
     "CH", "channel CH has no recording to back up (repeatable)"},
    {"--backup-pace", true,
     [](std::string_view v, SimOptions& o) { return setInt(v, 0, 10000, o.backup_pace_percent); },
     "PERCENT", "backup speed in percent of real time; 0 = as fast as the client reads (default)"},
};

}  // namespace

bool parseDvrTime(std::string_view text, int64_t& seconds) {
    long plain = 0;
    if (parseInt(text, 0, INT32_MAX, plain)) {
        seconds = plain;
        return true;
    }
    // YYYY-MM-DD HH:MM:SS
    constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd";
    if (text.size() != kShape.size()) return false;
    for (size_t i = 0; i < kShape.size(); ++i) {
        const char c = text[i];
        const bool ok = kShape[i] == 'd'   ? c >= '0' && c <= '9'
                        : kShape[i] == ' ' ? c == ' ' || c == 'T'
                                           : c == kShape[i];
        if (!ok) return false;
    }
    auto field = [&](size_t at, size_t n) {
        long v = 0;
        parseInt(text.substr(at, n), 0, 9999, v);
        return int(v);
    };
    std::tm tm{};
    tm.tm_year = field(0, 4) - 1900;
    tm.tm_mon = field(5, 2) - 1;
    tm.tm_mday = field(8, 2);
    tm.tm_hour = field(11, 2);
    tm.tm_min = field(14, 2);
    tm.tm_sec = field(17, 2);
    const std::tm asked = tm;
    const time_t t = timegm(&tm);
    // timegm() rolls 30 February over into March: such a date was never valid.
    if (tm.tm_year != asked.tm_year || tm.tm_mon != asked.tm_mon || tm.tm_mday != asked.tm_mday ||
        tm.tm_hour != asked.tm_hour || tm.tm_min != asked.tm_min || tm.tm_sec != asked.tm_sec ||
        t < 0 || t > INT32_MAX) {
        return false;
    }
    seconds = int64_t(t);
    return true;
}

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
