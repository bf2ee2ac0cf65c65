// The cross-process lock: one named mutex for every thread of every process
// that uses the driver. It is re-entrant: the FIFO routines take it inside
// the stream start's and stop's sections that hold it already. No application
// is called back while it is held.
#include "hwlink/hwlink.h"

HANDLE hCsMutex = nullptr;
const WCHAR szCriticalSectionMutex[] = VT_TEXT("VELTRANECs");

// The handle, read with acquire order against the compare-exchange that
// publishes it: another thread may be publishing it right now, and what it
// made before must be seen with it. A plain load on x86, no locked
// instruction: every lock and unlock of every send reads it.
static HANDLE CsMutex() {
    return ReadPointerAcquire(&hCsMutex);
}

BOOL InitCriticalSectionMutex() {
    if (CsMutex() != nullptr) return 1;
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, szCriticalSectionMutex);
    if (hMutex == nullptr) return 0;
    // Two threads may race to create it; the loser closes its own handle.
    if (InterlockedCompareExchangePointer(&hCsMutex, hMutex, nullptr) != nullptr)
        CloseHandle(hMutex);
    return 1;
}

void CriticalSection(WORD op, void* pContext) {
    (void)pContext;
    if (!InitCriticalSectionMutex()) return;  // no mutex: callers run unlocked
    HANDLE hMutex = CsMutex();
    if (op == kCsEnter) {
        // WAIT_ABANDONED still hands over ownership: a process died holding
        // the lock, so what it held is given back first.
        if (WaitForSingleObject(hMutex, INFINITE) == WAIT_ABANDONED) ReclaimDeadHoldersLocked();
    } else if (op == kCsLeave) {
        ReleaseMutex(hMutex);
    }
}
