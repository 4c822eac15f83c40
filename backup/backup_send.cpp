// The backup sender: keeps every connection alive and schedules the job. It asks the DVR for
// one chosen channel at a time, stops that channel once its recording time stops moving for a
// whole keep-alive period, moves on to the next chosen channel and reports the job complete.
#include <algorithm>
#include <chrono>

#include "backup/BackupDialog.h"
#include "protocol/cancel.h"
#include "protocol/log.h"

namespace zaq {
namespace {

int64_t nowMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void BackupDialog::RTPSendTProc() {
    auto finish = [this] {
        sleepMs(100);
        // The receiver ends on the shut-down connections without taking it for a failure; the
        // comm thread closes them once both threads are gone.
        m_jobDone = true;
        shutdownAllSockets();
        zlog("End RTPSendTProc");
    };
    sleepUnlessCancelled(1000);
    int64_t periodStart = nowMillis();
    const int n = std::min(int(m_loginParam[0].max_channel), int(kMaxSlots));
    zlog("enter - RTPSendTProc");
    int64_t previous = -1;
    while (!currentThreadCancelled()) {
        const int period = m_loginParam[0].device_type > 199 ? 3800 : 950;
        if (nowMillis() - periodStart <= period) {
            sleepMs(10);
            continue;
        }
        periodStart = nowMillis();
        if (n <= 0) {
            sleepMs(10);
            continue;
        }
        for (int i = 0; i < n; ++i) {
            if (m_socks[i] == -1 || m_ch[i] < 0) {
                zlog("INVALID_SOCKET...");
                return finish();
            }
            if (m_get_parameter[i] == 1) {
                int rc = GET_PARAMETER(i, m_bLogin[i] == 1 ? ASK_KEEPALIVE : 0);
                if (rc == -1) zlog("keep alive failed...");
                if (rc == -2) {
                    zlog("Network loss...");
                    failSession(-2);
                    return finish();
                }
            } else {
                zlog("send_rtcp:[%d]", i);
                send_rtcp(i);
            }
            sleepMs(1);
        }
        sleepMs(10);

        for (int j = 0; j < n; ++j) {
            if (m_socks[j] == -1 || m_ch[j] < 0) {
                zlog("INVALID_SOCKET...");
                return finish();
            }
            if (m_islive[j] != KIND_BACKUP) continue;
            const int cur = m_get_StartBackupChannel;
            if (j == cur && backupCmd(j) == 1) {
                GET_PARAMETER(j, ASK_LOGINFO);
                zlog("ASK_LOGINFO ch[%d]", j);
                previous = 0;
            }
            if (j != cur && cur >= kMaxSlots) {
                zlog("ASK_BACKUP COMPLATE");
                for (int k = 0; k < kMaxSlots; ++k) {
                    if (m_socks[k] != -1)
                        sendBackupCmd(k, 0);
                    else
                        setBackupCmd(k, 0);
                    sleepMs(1);
                }
                sleepMs(100);
                BackupStateMassege(BACKUP_STATE_COMPLATE, n, 100);
                return finish();
            }
            if (j == cur) {
                const int64_t t = m_backupParam[j].tv.tv_sec;
                if (t != previous) {
                    previous = t;
                } else {
                    sendBackupCmd(j, 0);
                    int next = cur;
                    do {
                        ++next;
                        m_get_StartBackupChannel = next;
                    } while (next < kMaxSlots && backupCmd(next) != 1);
                    zlog("Backup change[%02d]", next);
                }
            }
        }
    }
    zlog("RTPSendTProc RTPSendThread isCancelled");
    finish();
}

}  // namespace zaq
