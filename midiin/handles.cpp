// Input handles: open and close, the per-port client lists, and the started
// state that decides whether the drain delivers to a client.
#include "devices/devices.h"
#include "hwlink/hwlink.h"
#include "midiin/midiin.h"

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
    // Linked while still all zero: not started, so a drain passes over it.
    if (!midAddClient(pInstance, pClient, port)) {
        LocalFree(pClient);
        ReleaseHwPort(pInstance);
        return MMSYSERR_ALLOCATED;
    }
    midiSetClientHeader(pClient, pInstance, pDesc, dwFlags);
    pClient->cbLong = 0;
    pClient->pQueue = nullptr;

    if (!mmTimerEnable(pClient)) {
        midRemoveClient(pInstance, pClient, port);
        LocalFree(pClient);
        ReleaseHwPort(pInstance);
        return MMSYSERR_ALLOCATED;
    }
    if (!StartHwPortStreaming(&pInstance->aStreams[kStreamIn], pInstance)) {
        mmTimerDisable(pClient);
        midRemoveClient(pInstance, pClient, port);
        LocalFree(pClient);
        ReleaseHwPort(pInstance);
        return MMSYSERR_NOTENABLED;
    }
    pClient->dwStartTime = timeGetTime();
    *pdwUser = reinterpret_cast<DWORD_PTR>(pClient);
    midiCallback(pClient, MIM_OPEN, 0, 0);
    return MMSYSERR_NOERROR;
}

DWORD midClose(UINT port, InputClient* pClient) {
    HardwareInstance* pInstance = pClient->pInstance;
    StopHwPortStreaming(&pInstance->aStreams[kStreamIn], pInstance);
    midiCallback(pClient, MIM_CLOSE, 0, 0);
    mmTimerDisable(pClient);
    midRemoveClient(pInstance, pClient, port);
    LocalFree(pClient);
    return ReleaseHwPort(pInstance);
}

// The lists change under the lock: the drain walks them with the lock held,
// so once a client is unlinked no drain can reach it and it may be freed.
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
    CriticalSection(kCsLeave, pInstance);
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
    CriticalSection(kCsEnter, pClient->pInstance);
    pClient->bState &= static_cast<BYTE>(~kInStarted);
    CriticalSection(kCsLeave, pClient->pInstance);
    midSendPartBuffer(pClient);
}
