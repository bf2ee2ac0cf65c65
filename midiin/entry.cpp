// midMessage: the platform's entry point for every input message. Device
// messages find the instance by device ID; handle messages act on the
// InputClient the platform passes back as dwUser.
#include "devices/devices.h"
#include "hwlink/hwlink.h"
#include "midiin/midiin.h"

namespace {

// A client is reset to a fresh parse on a fresh time base; the queued
// buffers stay. Runs while the client is stopped, so no drain sees it.
void midResetAndStart(InputClient* pClient) {
    pClient->fInSysex = 0;
    pClient->bRunningStatus = 0;
    pClient->bRemaining = 0;
    pClient->bIndex = 0;
    for (BYTE& b : pClient->abShortMsg)
        b = 0;
    pClient->dwMsgTime = 0;
    pClient->cbLong = 0;
    pClient->dwStartTime = timeGetTime();
    midStart(pClient);
}

// A close of a handle whose close is under way (as from inside its own
// MIM_CLOSE) is refused; one with buffers still queued is refused and the
// handle stays as it was.
DWORD midCloseMessage(InputClient* pClient) {
    if (InterlockedCompareExchange(&pClient->fClosing, 1, 0) != 0) return MMSYSERR_INVALHANDLE;
    CriticalSection(kCsEnter, pClient->pInstance);
    BOOL fQueued = pClient->pQueue != nullptr;
    CriticalSection(kCsLeave, pClient->pInstance);
    if (fQueued) {
        InterlockedExchange(&pClient->fClosing, 0);
        return MIDIERR_STILLPLAYING;
    }
    midStop(pClient);
    midClose(pClient);
    return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" DWORD APIENTRY midMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser,
                                     DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
    UINT port = uDeviceID & 1;
    switch (uMsg) {
        case MIDM_GETNUMDEVS:
            NTGetNumberInstances();
            return 2u * gwNumInstances;
        case MIDM_GETDEVCAPS: {
            NTGetNumberInstances();
            HardwareInstance* pInstance = nullptr;
            DWORD dwResult = midiCheckDeviceId(uDeviceID, &pInstance);
            if (dwResult != MMSYSERR_NOERROR) return dwResult;
            if (dwParam1 == 0) return MMSYSERR_INVALPARAM;  // no record to fill
            midGetDevCaps(port, pInstance, reinterpret_cast<void*>(dwParam1),
                          static_cast<DWORD>(dwParam2));
            return MMSYSERR_NOERROR;
        }
        case MIDM_OPEN: {
            // No probe: the count and present flags are those of the last one.
            HardwareInstance* pInstance = nullptr;
            DWORD dwResult = midiCheckDeviceId(uDeviceID, &pInstance);
            if (dwResult != MMSYSERR_NOERROR) return dwResult;
            return midOpen(port, pInstance, reinterpret_cast<DWORD_PTR*>(dwUser),
                           reinterpret_cast<MIDIOPENDESC*>(dwParam1), static_cast<DWORD>(dwParam2));
        }
        default:
            break;
    }

    // A message on an open handle acts on that handle's record, which knows
    // its instance and port, whatever the device ID and the last probe say.
    InputClient* pClient = reinterpret_cast<InputClient*>(dwUser);
    switch (uMsg) {
        case MIDM_CLOSE:
        case MIDM_ADDBUFFER:
        case MIDM_START:
        case MIDM_STOP:
        case MIDM_RESET:
            if (pClient == nullptr) return MMSYSERR_INVALHANDLE;
            break;
        default:
            // MIDM_PREPARE and MIDM_UNPREPARE included: the platform prepares
            // headers itself.
            return MMSYSERR_NOTSUPPORTED;
    }
    switch (uMsg) {
        case MIDM_CLOSE:
            return midCloseMessage(pClient);
        case MIDM_ADDBUFFER:
            return midAddBuffer(pClient->pInstance, pClient, reinterpret_cast<MIDIHDR*>(dwParam1));
        case MIDM_START:
            if (!(pClient->bState & kInStarted)) midResetAndStart(pClient);
            return MMSYSERR_NOERROR;
        case MIDM_STOP:
            midStop(pClient);
            return MMSYSERR_NOERROR;
        default:  // MIDM_RESET
            midStop(pClient);
            midFreeQ(pClient);
            return MMSYSERR_NOERROR;
    }
}
