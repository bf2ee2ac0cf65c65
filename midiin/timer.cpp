// The periodic multimedia timer of each open input client: started at open,
// stopped at close, and stopped for every client of an instance that is
// going away while its clients are still open.
#include "midiin/midiin.h"

// Answers 1 when the client's timer runs. The resolution raised with
// timeBeginPeriod is kept in uTimerRes so that every path that ends the
// timer lowers exactly what was raised.
BOOL mmTimerEnable(InputClient* pClient) {
    TIMECAPS tc = {};
    if (timeGetDevCaps(&tc, sizeof(tc)) == TIMERR_NOCANDO) return FALSE;
    pClient->uTimerRes = tc.wPeriodMin < 1 ? tc.wPeriodMin : 1;
    UINT uPeriod = tc.wPeriodMax < 1 ? tc.wPeriodMax : 1;
    if (pClient->uTimerRes > uPeriod) return FALSE;
    timeBeginPeriod(pClient->uTimerRes);
    pClient->uTimerId = timeSetEvent(uPeriod, pClient->uTimerRes, mmTimerIntr,
                                     reinterpret_cast<DWORD_PTR>(pClient->pInstance),
                                     TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
    if (pClient->uTimerId == 0) {
        timeEndPeriod(pClient->uTimerRes);
        return FALSE;
    }
    return TRUE;
}

// Idempotent. Must not be called with the lock held from any thread but the
// timer thread: timeKillEvent waits for a running callback, and the callback
// waits for the lock.
void mmTimerDisable(InputClient* pClient) {
    if (pClient->uTimerId == 0) return;
    timeKillEvent(pClient->uTimerId);
    timeEndPeriod(pClient->uTimerRes);
    pClient->uTimerId = 0;
}

// The records stay valid (the instance is kept while clients are open); only
// the drains stop, so nothing runs on after the driver may be unloaded. A
// later close finds uTimerId at 0 and skips the timer.
void midDisableInstanceTimers(HardwareInstance* pInstance) {
    for (UINT port = 0; port < 2; ++port) {
        for (InputClient* pClient = pInstance->apInClients[port]; pClient;
             pClient = pClient->pNext) {
            mmTimerDisable(pClient);
        }
    }
}
