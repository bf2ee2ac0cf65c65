// Output handles: open and close. Every handle of a port in this process
// shares the port's stream; the first open starts it, the last close stops it.
#include "midiout/midiout.h"

#include "devices/devices.h"
#include "hwlink/hwlink.h"

DWORD modOpen(UINT port, HardwareInstance* pInstance, DWORD_PTR* pdwUser, MIDIOPENDESC* pDesc,
              DWORD dwOpenFlags) {
    // Nothing to read the client's identity from, or nowhere to store it.
    if (pdwUser == nullptr || pDesc == nullptr) return MMSYSERR_INVALPARAM;
    DWORD dwResult = AcquireHwPort(pInstance);
    if (dwResult != MMSYSERR_NOERROR) return dwResult;

    OutputClient* pClient =
        static_cast<OutputClient*>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, sizeof(OutputClient)));
    if (pClient == nullptr) {
        ReleaseHwPort(pInstance);
        return MMSYSERR_NOMEM;
    }
    midiSetClientHeader(pClient, pInstance, pDesc, dwOpenFlags);
    pClient->bRunningStatus = 0;
    pClient->bPort = static_cast<BYTE>(port);

    if (!StartHwPortStreaming(&pInstance->aStreams[kStreamOutA + port], pInstance)) {
        LocalFree(pClient);
        ReleaseHwPort(pInstance);
        return MMSYSERR_NOTENABLED;
    }

    *pdwUser = reinterpret_cast<DWORD_PTR>(pClient);
    midiCallback(pClient, MOM_OPEN, 0, 0);
    return MMSYSERR_NOERROR;
}

DWORD modClose(OutputClient* pClient) {
    if (InterlockedExchange(&pClient->fClosing, 1) != 0) return MMSYSERR_INVALHANDLE;
    HardwareInstance* pInstance = pClient->pInstance;
    StopHwPortStreaming(&pInstance->aStreams[kStreamOutA + pClient->bPort], pInstance);
    ReleaseHwPort(pInstance);
    midiCallback(pClient, MOM_CLOSE, 0, 0);
    LocalFree(pClient);
    return MMSYSERR_NOERROR;
}
