// The periodic multimedia timer of each open input client: started at open,
// stopped at close, and stopped for every client of an instance that is
// going away while its clients are still open.
//
// A kill waits for a tick under way (the timer services promise that the
// callback has returned when the kill does), and ticks call applications
// back. So a kill first stops ticks from calling applications (they leave
// their notifications for the next tick) and waits a little for the callbacks
// under way to return. One that does not (it may be waiting for a lock the
// killing thread holds), or one on the killing thread itself, has the kill
// put off: the tick kills the timer once the callback has returned.
#include "hwlink/hwlink.h"
#include "midiin/midiin.h"

// How long a kill waits for the application callbacks under way on ticks.
constexpr DWORD kCallbackWaitMs = 10;

// Each side raises its own count and then looks at the other's, both
// interlocked: of a tick and a kill that meet, at most one goes ahead.
static LONG volatile gcTickCallbacks = 0;  // application callbacks under way on ticks
LONG volatile gcTimerKills = 0;            // kills under way off the ticks
// The thread of the tick callback under way, 0 none (every tick runs on the
// one timer thread of the process). Interlocked.
static LONG volatile gdwTickThread = 0;
// Clients whose timer kill was put off, linked through pNextKill. Interlocked.
static PVOID volatile gpKillList = nullptr;

static LONG ReadCount(LONG volatile* pc) {
    return InterlockedCompareExchange(pc, 0, 0);
}

BOOL mmEnterTickCallback() {
    InterlockedIncrement(&gcTickCallbacks);
    if (ReadCount(&gcTimerKills) != 0) {
        InterlockedDecrement(&gcTickCallbacks);
        return FALSE;
    }
    InterlockedExchange(&gdwTickThread, static_cast<LONG>(GetCurrentThreadId()));
    return TRUE;
}

void mmLeaveTickCallback() {
    InterlockedExchange(&gdwTickThread, 0);
    InterlockedDecrement(&gcTickCallbacks);
}

// TRUE when the caller may kill timers now; it then calls EndTimerKill.
static BOOL BeginTimerKill() {
    if (ReadCount(&gdwTickThread) == static_cast<LONG>(GetCurrentThreadId())) return FALSE;
    InterlockedIncrement(&gcTimerKills);
    DWORD dwStart = GetTickCount();
    while (ReadCount(&gcTickCallbacks) != 0) {
        if (GetTickCount() - dwStart >= kCallbackWaitMs) {
            InterlockedDecrement(&gcTimerKills);
            return FALSE;
        }
        Sleep(1);
    }
    return TRUE;
}

static void EndTimerKill() {
    InterlockedDecrement(&gcTimerKills);
}

static void KillTimer(InputClient* pClient, UINT uTimerId) {
    timeKillEvent(uTimerId);
    timeEndPeriod(pClient->uTimerRes);
    InterlockedDecrement(&pClient->pInstance->cTimers);
}

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
    InterlockedIncrement(&pClient->pInstance->cTimers);
    return TRUE;
}

// Idempotent. Never called with the named mutex held: the tick it may wait
// for takes that mutex.
void mmTimerDisable(InputClient* pClient) {
    UINT uTimerId = pClient->uTimerId;
    if (uTimerId == 0) return;
    pClient->uTimerId = 0;
    if (BeginTimerKill()) {
        KillTimer(pClient, uTimerId);
        EndTimerKill();
        return;
    }
    CriticalSection(kCsEnter, pClient->pInstance);
    pClient->cHolds++;
    CriticalSection(kCsLeave, pClient->pInstance);
    pClient->uTimerIdToKill = uTimerId;
    for (;;) {
        PVOID pHead = gpKillList;
        pClient->pNextKill = static_cast<InputClient*>(pHead);
        if (InterlockedCompareExchangePointer(&gpKillList, pClient, pHead) == pHead) return;
    }
}

void mmKillPutOffTimers(BOOL fOnTick) {
    // A plain look first (every tick of every handle comes here): a kill it
    // misses is done on the next tick.
    if (ReadPointerNoFence(&gpKillList) == nullptr) return;
    if (!fOnTick && !BeginTimerKill()) return;
    InputClient* pClient =
        static_cast<InputClient*>(InterlockedExchangePointer(&gpKillList, nullptr));
    while (pClient != nullptr) {
        InputClient* pNextKill = pClient->pNextKill;
        KillTimer(pClient, pClient->uTimerIdToKill);
        midReleaseClient(pClient);
        pClient = pNextKill;
    }
    if (!fOnTick) EndTimerKill();
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
