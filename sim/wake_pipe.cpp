#include "sim/wake_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

namespace zaq::sim {

WakePipe::WakePipe() {
    if (::pipe(fds_) != 0) {
        fds_[0] = fds_[1] = -1;
        return;
    }
    for (int fd : fds_) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

WakePipe::~WakePipe() {
    for (int fd : fds_) {
        if (fd >= 0) ::close(fd);
    }
}

void WakePipe::wake() {
    if (fds_[1] < 0) return;
    const uint8_t b = 1;
    [[maybe_unused]] ssize_t n = ::write(fds_[1], &b, 1);
}

void WakePipe::drain() {
    if (fds_[0] < 0) return;
    uint8_t sink[64];
    while (::read(fds_[0], sink, sizeof sink) > 0) {
    }
}

}  // namespace zaq::sim
