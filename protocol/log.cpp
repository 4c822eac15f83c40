#include "protocol/log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace zaq {
namespace {

std::mutex g_sinkLock;
LogSink g_sink;  // --- Protected by g_sinkLock

}  // namespace

void zlog(const char* fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lock(g_sinkLock);
    if (g_sink) {
        g_sink(line);
    } else {
        syslog(LOG_INFO, "%s", line);
    }
}

void setLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(g_sinkLock);
    g_sink = std::move(sink);
}

}  // namespace zaq
