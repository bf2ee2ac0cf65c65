// The winmm input calls: each checks its handle and arguments, then passes
// one MIDM_ message to the driver.
#include "host/mm/layer.h"

using vtmm::Handle;

namespace {

Handle* In(HMIDIIN hmi) {
    return vtmm::FindHandle(hmi, vtmm::kInMagic);
}

}  // namespace

extern "C" {

UINT WINAPI midiInGetNumDevs(void) {
    if (vtmm::EnsureDriver() != MMSYSERR_NOERROR) return 0;
    return vtmm::MidMessage(0, MIDM_GETNUMDEVS, 0, 0, 0);
}

MMRESULT WINAPI midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback,
                           DWORD_PTR dwInstance, DWORD fdwOpen) {
    if (!phmi) return MMSYSERR_INVALPARAM;
    *phmi = nullptr;
    Handle* p = nullptr;
    MMRESULT r = vtmm::OpenHandle(vtmm::kInMagic, uDeviceID, dwCallback, dwInstance, fdwOpen, &p);
    if (r == MMSYSERR_NOERROR) *phmi = reinterpret_cast<HMIDIIN>(p);
    return r;
}

MMRESULT WINAPI midiInClose(HMIDIIN hmi) {
    return vtmm::CloseMidiHandle(In(hmi));
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    Handle* p = In(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = vtmm::CheckDataHeader(pmh, cbmh)) return r;
    // The driver stores a byte before it looks for the end of a buffer.
    if (pmh->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
    return vtmm::SendToDriver(p, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(pmh), cbmh);
}

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    return vtmm::PrepareHeader(In(hmi), pmh, cbmh);
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    return vtmm::UnprepareHeader(In(hmi), pmh, cbmh);
}

MMRESULT WINAPI midiInStart(HMIDIIN hmi) {
    Handle* p = In(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    return vtmm::SendToDriver(p, MIDM_START);
}

MMRESULT WINAPI midiInStop(HMIDIIN hmi) {
    Handle* p = In(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    return vtmm::SendToDriver(p, MIDM_STOP);
}

MMRESULT WINAPI midiInReset(HMIDIIN hmi) {
    Handle* p = In(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    return vtmm::SendToDriver(p, MIDM_RESET);
}

MMRESULT WINAPI midiInGetID(HMIDIIN hmi, LPUINT puDeviceID) {
    return vtmm::GetDeviceID(In(hmi), puDeviceID);
}

MMRESULT WINAPI midiInMessage(HMIDIIN hmi, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2) {
    return vtmm::DriverMessage(In(hmi), uMsg, dw1, dw2);
}
}
