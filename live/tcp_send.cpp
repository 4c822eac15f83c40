// The keep-alive sender: every 950 ms (4750 ms for device types 200 and above) one keep-alive
// per connection; the thread that declares the network lost when one cannot be sent.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>

#include "live/LiveSession.h"
#include "protocol/cancel.h"
#include "protocol/log.h"

namespace zaq {
namespace {

int64_t nowMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void raisePriority() {
    // Keep-alives must go out on time while decoding loads the machine; an unprivileged
    // process may not raise it, which is harmless.
    sched_param param{};
    int policy = 0;
    if (pthread_getschedparam(pthread_self(), &policy, &param) == 0) {
        param.sched_priority = std::min(sched_get_priority_max(policy), param.sched_priority + 1);
        pthread_setschedparam(pthread_self(), policy, &param);
    }
}

}  // namespace

void LiveSession::tcpSendTProc() {
    raisePriority();
    sleepUnlessCancelled(1000);
    int64_t lastSweep = nowMicros();
    int n = std::clamp(int(m_loginParam[0].max_channel), 1, int(kMaxSlots));
    zlog("enter - tcpSendTProc");
    while (!currentThreadCancelled()) {
        int interval = m_loginParam[0].device_type >= 200 ? 4750 : 950;
        int64_t elapsed = (nowMicros() - lastSweep) / 1000;
        if (elapsed > interval) {
            lastSweep = nowMicros();
            for (int slot = 0; slot < n; ++slot) {
                if (m_socks[slot] == -1 || m_ch[slot] < 0) continue;
                if (m_get_parameter[slot] == 1) {
                    int rc = GET_PARAMETER(slot, m_bLogin[slot] == 1 ? ASK_KEEPALIVE : 0);
                    if (rc == -1) zlog("keep alive failed...");
                    if (rc == -2) {
                        zlog("Network loss...");
                        failSession(-2);
                        zlog("End tcpSendThread!\n");
                        return;
                    }
                } else {
                    send_rtcp(slot);
                }
                sleepMs(10);
            }
        }
        sleepMs(10);
    }
    zlog("End tcpSendThread!\n");
}

}  // namespace zaq
