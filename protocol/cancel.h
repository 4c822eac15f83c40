// The cancel flag of the session thread the caller runs on. Long waits in the engine (connect,
// reply reading, name resolution) test it so that stopping a session never waits them out.
#pragma once

#include <atomic>

namespace zaq {

// Installed by the thread helper for the duration of a thread procedure; null elsewhere.
void setCurrentCancelFlag(const std::atomic<bool>* flag);

// True when the calling thread is a session thread whose stop was requested.
bool currentThreadCancelled();

// Sleeps ms milliseconds in small steps; returns false early when the calling thread is
// cancelled.
bool sleepUnlessCancelled(int ms);

void sleepMs(double ms);

}  // namespace zaq
