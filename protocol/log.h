// One line per event to the system log. The sink can be replaced (the command-line client
// prints to stderr, tests capture lines); the default writes to syslog.
#pragma once

#include <functional>
#include <string>

namespace zaq {

// Formats like printf and hands the line to the current sink. Any thread.
void zlog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

using LogSink = std::function<void(const std::string& line)>;

// Replaces the sink for the whole process; an empty sink restores syslog. Not for use while
// session threads are logging (set it once at start or in a test fixture).
void setLogSink(LogSink sink);

}  // namespace zaq
