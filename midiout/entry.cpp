// Output entry: modMessage, and the per-instance send guard around the
// messages that carry MIDI data.
//
// The guard (cSendBusy) is the only thing that keeps the senders of one
// process apart: at most one MODM_DATA, MODM_LONGDATA or MODM_RESET runs per
// instance at a time, on either port; every other one answers
// MIDIERR_NOTREADY at once and leaves no trace. Its increment and test are
// one interlocked step, so two threads that enter together cannot both run.
#include "midiout/midiout.h"

#include "devices/devices.h"

// Runs one data message inside the instance's send guard, or answers
// MIDIERR_NOTREADY when another one of the instance is running.
static DWORD modGuardedSend(UINT uMsg, OutputClient* pClient, DWORD_PTR dwParam1) {
    HardwareInstance* pInstance = pClient->pInstance;
    const UINT port = pClient->bPort;
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
            dwResult = midiCheckDeviceId(uDeviceID, &pInstance);
            if (dwResult != MMSYSERR_NOERROR) return dwResult;
            if (dwParam1 == 0) return MMSYSERR_INVALPARAM;  // no record to fill
            modGetDevCaps(uDeviceID & 1, pInstance, reinterpret_cast<void*>(dwParam1),
                          static_cast<DWORD>(dwParam2));
            return MMSYSERR_NOERROR;
        case MODM_OPEN:
            // No probe: the count and present flags are those of the last one.
            dwResult = midiCheckDeviceId(uDeviceID, &pInstance);
            if (dwResult != MMSYSERR_NOERROR) return dwResult;
            return modOpen(uDeviceID & 1, pInstance, reinterpret_cast<DWORD_PTR*>(dwUser),
                           reinterpret_cast<MIDIOPENDESC*>(dwParam1), static_cast<DWORD>(dwParam2));
        default:
            break;
    }

    // A message on an open handle acts on that handle's record, which knows
    // its instance and port, whatever the device ID and the last probe say.
    OutputClient* pClient = reinterpret_cast<OutputClient*>(dwUser);
    switch (uMsg) {
        case MODM_CLOSE:
            if (pClient == nullptr) return MMSYSERR_INVALHANDLE;
            return modClose(pClient);
        case MODM_LONGDATA:
            if (pClient == nullptr) return MMSYSERR_INVALHANDLE;
            if (dwParam1 == 0) return MMSYSERR_INVALPARAM;
            return modGuardedSend(uMsg, pClient, dwParam1);
        case MODM_DATA:
        case MODM_RESET:
            if (pClient == nullptr) return MMSYSERR_INVALHANDLE;
            return modGuardedSend(uMsg, pClient, dwParam1);
        default:
            // MODM_PREPARE and MODM_UNPREPARE included: the platform prepares
            // headers itself and sets MHDR_PREPARED.
            return MMSYSERR_NOTSUPPORTED;
    }
}
