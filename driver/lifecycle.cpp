// The lifecycle of the eight hardware instances of a process, one per device
// node: added and enabled at DRV_ENABLE, disabled and removed at DRV_DISABLE.
#include "driver/driver.h"

#include "devices/devices.h"
#include "hwlink/hwlink.h"
#include "midiin/midiin.h"

DWORD AddDevNode(DWORD dwDevNode) {
    HardwareInstance* pInstance = DevNodeToHardwareInstance(dwDevNode);
    if (pInstance != nullptr) {
        pInstance->cAdd++;
        return MMSYSERR_NOERROR;
    }
    pInstance = static_cast<HardwareInstance*>(LocalAlloc(LMEM_ZEROINIT, sizeof(HardwareInstance)));
    if (pInstance == nullptr) return MMSYSERR_NOMEM;
    pInstance->dwDevNode = dwDevNode;
    pInstance->cAdd = 1;
    InitializeCriticalSection(&pInstance->csControl);
    SetDevicePath(pInstance);
    AddInstance(pInstance);
    return MMSYSERR_NOERROR;
}

DWORD EnableDevNode(DWORD dwDevNode, DWORD dwReserved) {
    (void)dwReserved;
    HardwareInstance* pInstance = DevNodeToHardwareInstance(dwDevNode);
    if (pInstance == nullptr) return MMSYSERR_INVALHANDLE;
    if (pInstance->cEnable++ == 0) pInstance->fEnabled = 1;
    return MMSYSERR_NOERROR;
}

DWORD DisableDevNode(DWORD dwDevNode) {
    HardwareInstance* pInstance = DevNodeToHardwareInstance(dwDevNode);
    if (pInstance == nullptr) return MMSYSERR_INVALHANDLE;
    // A count at 0 stays there: more disables than enables change nothing.
    if (pInstance->cEnable > 0 && --pInstance->cEnable == 0) pInstance->fEnabled = 0;
    return MMSYSERR_NOERROR;
}

DWORD RemoveDevNode(DWORD dwDevNode) {
    HardwareInstance* pInstance = DevNodeToHardwareInstance(dwDevNode);
    if (pInstance == nullptr) return MMSYSERR_INVALHANDLE;
    if (pInstance->cAdd > 0) pInstance->cAdd--;
    if (pInstance->cAdd > 0) return MMSYSERR_NOERROR;
    if (pInstance->cEnable != 0) return MMSYSERR_ALLOCATED;
    // Clients still open hold pointers to this record, and input clients
    // have timers draining through it: stop the timers, so nothing runs on
    // after the driver may be unloaded, and keep the record for their close.
    if (pInstance->cAcquire > 0 || pInstance->apInClients[0] != nullptr ||
        pInstance->apInClients[1] != nullptr) {
        midDisableInstanceTimers(pInstance);
        return MMSYSERR_ALLOCATED;
    }
    // The timer of a closed client whose kill was put off still drains
    // through this record: it stays until that timer is gone.
    mmKillPutOffTimers(FALSE);
    if (InterlockedCompareExchange(&pInstance->cTimers, 0, 0) != 0) return MMSYSERR_ALLOCATED;
    FreeFIFO(&pInstance->aStreams[kStreamIn], pInstance);
    FreeFIFO(&pInstance->aStreams[kStreamOutA], pInstance);
    FreeFIFO(&pInstance->aStreams[kStreamOutB], pInstance);
    for (PortStream& stream : pInstance->aStreams)
        CloseFinishedStreamHandles(&stream, TRUE);
    RemoveInstance(pInstance);
    DeleteCriticalSection(&pInstance->csControl);
    LocalFree(pInstance);
    return MMSYSERR_NOERROR;
}

DWORD DrvInit() {
    for (DWORD dwNode = 0; dwNode < kDevNodes; ++dwNode) {
        AddDevNode(dwNode);
        EnableDevNode(dwNode, 0);
    }
    return 0;
}

void DrvEnd() {
    for (DWORD dwNode = 0; dwNode < kDevNodes; ++dwNode) {
        DisableDevNode(dwNode);
        RemoveDevNode(dwNode);
    }
}
