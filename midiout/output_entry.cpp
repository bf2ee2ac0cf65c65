// Output entry: modMessage, the open and close of output handles, and the
// per-instance send guard around the messages that carry MIDI data.
//
// The guard (cSendBusy) is the only thing that keeps the senders of one
// process apart: at most one MODM_DATA, MODM_LONGDATA or MODM_RESET runs per
// instance at a time, on either port; every other one answers
// MIDIERR_NOTREADY at once and leaves no trace. Its increment and test are
// one interlocked step, so two threads that enter together cannot both run.
#include "midiout/midiout.h"

#include "driver/driver.h"
#include "hwlink/hwlink.h"

// Range, lookup and enabled checks of MODM_GETDEVCAPS and MODM_OPEN, in that
// order. On success *ppInstance is the device ID's instance.
static DWORD modCheckDeviceId(UINT uDeviceID, HardwareInstance** ppInstance) {
    if (uDeviceID >= 2u * gwNumInstances) return MMSYSERR_BADDEVICEID;
    HardwareInstance* pInstance = modDevIdToHwInstance(uDeviceID);
    if (pInstance == nullptr) return MMSYSERR_BADDEVICEID;
    if (pInstance->fEnabled == 0) return MMSYSERR_NOTENABLED;
    *ppInstance = pInstance;
    return MMSYSERR_NOERROR;
}

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

    PortStream* pStream = &pInstance->aStreams[port];
    const BOOL fFirstOfProcess = pStream->cOpen == 0;
    if (!StartHwPortStreaming(pStream, pInstance)) {
        LocalFree(pClient);
        ReleaseHwPort(pInstance);
        return MMSYSERR_NOTENABLED;
    }
    // A stream this process starts afresh may sit on a re-initialised block
    // whose queued packets never went out: the status last written is then
    // unknown, and the next data-only message must carry its own.
    if (fFirstOfProcess) pInstance->abLastStatus[port] = 0;

    *pdwUser = reinterpret_cast<DWORD_PTR>(pClient);
    midiCallback(pClient, MOM_OPEN, 0, 0);
    return MMSYSERR_NOERROR;
}

void modClose(UINT port, OutputClient* pClient) {
    HardwareInstance* pInstance = pClient->pInstance;
    StopHwPortStreaming(&pInstance->aStreams[port], pInstance);
    ReleaseHwPort(pInstance);
    midiCallback(pClient, MOM_CLOSE, 0, 0);
    LocalFree(pClient);
}

// Runs one data message inside the instance's send guard, or answers
// MIDIERR_NOTREADY when another one of the instance is running.
static DWORD modGuardedSend(UINT uMsg, UINT port, OutputClient* pClient, DWORD_PTR dwParam1) {
    HardwareInstance* pInstance = pClient->pInstance;
    DWORD dwResult = MIDIERR_NOTREADY;
    if (InterlockedIncrement(&pInstance->cSendBusy) == 1) {
        switch (uMsg) {
            case MODM_DATA:
                dwResult = modSendShortMsg(port, pClient, static_cast<DWORD>(dwParam1));
                break;
            case MODM_LONGDATA:
                dwResult = modSendLongData(port, pClient, reinterpret_cast<MIDIHDR*>(dwParam1));
                break;
            default:  // MODM_RESET
                modReset(port, pClient);
                dwResult = MMSYSERR_NOERROR;
                break;
        }
    }
    InterlockedDecrement(&pInstance->cSendBusy);
    return dwResult;
}

extern "C" DWORD APIENTRY modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser,
                                     DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
    HardwareInstance* pInstance = nullptr;
    DWORD dwResult;
    switch (uMsg) {
        case MODM_GETNUMDEVS:
            NTGetNumberInstances();
            return 2u * gwNumInstances;
        case MODM_GETDEVCAPS:
            NTGetNumberInstances();
            dwResult = modCheckDeviceId(uDeviceID, &pInstance);
            if (dwResult != MMSYSERR_NOERROR) return dwResult;
            if (dwParam1 == 0) return MMSYSERR_INVALPARAM;  // no record to fill
            modGetDevCaps(uDeviceID & 1, pInstance, reinterpret_cast<void*>(dwParam1),
                          static_cast<DWORD>(dwParam2));
            return MMSYSERR_NOERROR;
        case MODM_OPEN:
            // No probe: the count and present flags are those of the last one.
            dwResult = modCheckDeviceId(uDeviceID, &pInstance);
            if (dwResult != MMSYSERR_NOERROR) return dwResult;
            return modOpen(uDeviceID & 1, pInstance, reinterpret_cast<DWORD_PTR*>(dwUser),
                           reinterpret_cast<MIDIOPENDESC*>(dwParam1), static_cast<DWORD>(dwParam2));
        default:
            break;
    }

    if (uDeviceID >= 2u * gwNumInstances) return MMSYSERR_BADDEVICEID;
    const UINT port = uDeviceID & 1;
    OutputClient* pClient = reinterpret_cast<OutputClient*>(dwUser);
    switch (uMsg) {
        case MODM_CLOSE:
            if (pClient == nullptr) return MMSYSERR_INVALHANDLE;
            modClose(port, pClient);
            return MMSYSERR_NOERROR;
        case MODM_LONGDATA:
            if (pClient == nullptr) return MMSYSERR_INVALHANDLE;
            if (dwParam1 == 0) return MMSYSERR_INVALPARAM;
            return modGuardedSend(uMsg, port, pClient, dwParam1);
        case MODM_DATA:
        case MODM_RESET:
            if (pClient == nullptr) return MMSYSERR_INVALHANDLE;
            return modGuardedSend(uMsg, port, pClient, dwParam1);
        default:
            // MODM_PREPARE and MODM_UNPREPARE included: the platform prepares
            // headers itself and sets MHDR_PREPARED.
            return MMSYSERR_NOTSUPPORTED;
    }
}
