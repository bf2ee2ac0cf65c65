// Input handles: open and close, the per-port client lists, the started state
// that decides whether the drain delivers to a client, and the holds that
// keep a record until nothing can reach it any more.
#include "devices/devices.h"
#include "hwlink/hwlink.h"
#include "midiin/midiin.h"

// Undoes an open that failed after linking the client: unlinked, its timer
// gone, its acquisition given back, the record released.
static DWORD midUndoOpen(InputClient* pClient, DWORD dwResult) {
    HardwareInstance* pInstance = pClient->pInstance;
    midRemoveClient(pInstance, pClient, pClient->bPort);
    mmTimerDisable(pClient);
    ReleaseHwPort(pInstance);
    midReleaseClient(pClient);
    return dwResult;
}

DWORD midOpen(UINT port, HardwareInstance* pInstance, DWORD_PTR* pdwUser, MIDIOPENDESC* pDesc,
              DWORD dwFlags) {
    if (pdwUser == nullptr || pDesc == nullptr) return MMSYSERR_INVALPARAM;
    DWORD dwResult = AcquireHwPort(pInstance);
    if (dwResult != MMSYSERR_NOERROR) return dwResult;

    InputClient* pClient = static_cast<InputClient*>(LocalAlloc(LPTR, sizeof(InputClient)));
    if (pClient == nullptr) {
        ReleaseHwPort(pInstance);
        return MMSYSERR_NOMEM;
    }
    pClient->pInstance = pInstance;
    pClient->bPort = static_cast<BYTE>(port);
    pClient->cHolds = 1;  // the handle's own
    // Linked while still all zero: not started, so a drain passes over it.
    if (!midAddClient(pInstance, pClient, port)) return midUndoOpen(pClient, MMSYSERR_ALLOCATED);
    midiSetClientHeader(pClient, pInstance, pDesc, dwFlags);
    pClient->cbLong = 0;
    pClient->pQueue = nullptr;

    if (!mmTimerEnable(pClient)) return midUndoOpen(pClient, MMSYSERR_ALLOCATED);
    if (!StartHwPortStreaming(&pInstance->aStreams[kStreamIn], pInstance))
        return midUndoOpen(pClient, MMSYSERR_NOTENABLED);
    pClient->dwStartTime = timeGetTime();
    *pdwUser = reinterpret_cast<DWORD_PTR>(pClient);
    midiCallback(pClient, MIM_OPEN, 0, 0);
    return MMSYSERR_NOERROR;
}

// Once unlinked no delivery starts for the client; one under way on a timer
// tick may still be in its callback, and keeps the record until it returns.
// The timer is killed, or its kill put off to a tick that holds the record
// too: the close never waits for an application's callback.
DWORD midClose(InputClient* pClient) {
    HardwareInstance* pInstance = pClient->pInstance;
    StopHwPortStreaming(&pInstance->aStreams[kStreamIn], pInstance);
    midRemoveClient(pInstance, pClient, pClient->bPort);
    midiCallback(pClient, MIM_CLOSE, 0, 0);
    mmTimerDisable(pClient);
    DWORD dwResult = ReleaseHwPort(pInstance);
    midReleaseClient(pClient);
    return dwResult;
}

// The lists change under the lock: the drain walks them with the lock held,
// so once a client is unlinked no drain reaches it.
BOOL midAddClient(HardwareInstance* pInstance, InputClient* pClient, UINT port) {
    CriticalSection(kCsEnter, pInstance);
    InputClient** ppLink = &pInstance->apInClients[port];
    while (*ppLink != nullptr)
        ppLink = &(*ppLink)->pNext;
    *ppLink = pClient;
    CriticalSection(kCsLeave, pInstance);
    return TRUE;
}

void midRemoveClient(HardwareInstance* pInstance, InputClient* pClient, UINT port) {
    CriticalSection(kCsEnter, pInstance);
    for (InputClient** ppLink = &pInstance->apInClients[port]; *ppLink != nullptr;
         ppLink = &(*ppLink)->pNext) {
        if (*ppLink == pClient) {
            *ppLink = pClient->pNext;
            break;
        }
    }
    InterlockedExchange(&pClient->fClosed, 1);
    InterlockedIncrement(&pClient->cStops);  // the drain delivers nothing more to it
    pInstance->cNoticesWaiting -= pClient->cNotices;
    pClient->cNotices = 0;
    CriticalSection(kCsLeave, pInstance);
}

void midReleaseClient(InputClient* pClient) {
    CriticalSection(kCsEnter, pClient->pInstance);
    BOOL fFree = --pClient->cHolds == 0 && pClient->fClosed;
    CriticalSection(kCsLeave, pClient->pInstance);
    if (fFree) LocalFree(pClient);
}

void midStart(InputClient* pClient) {
    CriticalSection(kCsEnter, pClient->pInstance);
    pClient->bState |= kInStarted;
    CriticalSection(kCsLeave, pClient->pInstance);
}

// Once the bit is clear no drain touches the client, so the partly filled
// head buffer is returned without the lock.
void midStop(InputClient* pClient) {
    if (!(pClient->bState & kInStarted)) return;
    MidiNotice aReturned[kNoticeSlots];
    DWORD cReturned = 0;
    CriticalSection(kCsEnter, pClient->pInstance);
    pClient->bState &= static_cast<BYTE>(~kInStarted);
    // The drain drops the notifications waiting, but for returned buffers,
    // once it sees the count.
    InterlockedIncrement(&pClient->cStops);
    for (DWORD i = 0; i < pClient->cNotices; ++i) {
        const MidiNotice& n = pClient->aNotices[(pClient->iNotice + i) % kNoticeSlots];
        if (n.uMsg == MIM_LONGDATA) aReturned[cReturned++] = n;
    }
    pClient->pInstance->cNoticesWaiting -= pClient->cNotices;
    pClient->cNotices = 0;
    CriticalSection(kCsLeave, pClient->pInstance);
    for (DWORD i = 0; i < cReturned; ++i)
        midiCallback(pClient, aReturned[i].uMsg, aReturned[i].dwParam1, aReturned[i].dwParam2);
    midSendPartBuffer(pClient);
}
