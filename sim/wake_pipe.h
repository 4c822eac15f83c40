// A self-pipe that turns a poll() readable from another thread: stop requests and new output.
#pragma once

namespace zaq::sim {

class WakePipe {
  public:
    WakePipe();
    ~WakePipe();
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    // The end to poll for POLLIN; -1 when the pipe could not be made (callers then rely on
    // their poll time-out).
    int readFd() const { return fds_[0]; }
    // Any thread; a pipe that is already full holds a wake-up, so nothing is lost.
    void wake();
    // The polling thread, after readFd() turned readable.
    void drain();

  private:
    int fds_[2] = {-1, -1};
};

}  // namespace zaq::sim
