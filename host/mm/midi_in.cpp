// The winmm input calls: each checks its handle and arguments, then passes
// one MIDM_ message to the driver.
#include "host/mm/layer.h"

using vtmm::Handle;

namespace {

Handle* In(HMIDIIN hmi) {
    return vtmm::FindHandle(hmi, vtmm::kInMagic);
}

DWORD Send(Handle* p, UINT uMsg, DWORD_PTR dwParam1 = 0, DWORD_PTR dwParam2 = 0) {
    return vtmm::MidMessage(p->uDeviceID, uMsg, p->dwDriverUser, dwParam1, dwParam2);
}

}  // namespace

extern "C" {

UINT WINAPI midiInGetNumDevs(void) {
    if (vtmm::EnsureDriver() != MMSYSERR_NOERROR) return 0;
    return vtmm::MidMessage(0, MIDM_GETNUMDEVS, 0, 0, 0);
}

MMRESULT WINAPI midiInGetDevCapsW(UINT_PTR uDeviceID, LPMIDIINCAPSW pmic, UINT cbmic) {
    if (!pmic) return MMSYSERR_INVALPARAM;
    if (MMRESULT r = vtmm::EnsureDriver()) return r;
    return vtmm::MidMessage(static_cast<UINT>(uDeviceID), MIDM_GETDEVCAPS, 0,
                            reinterpret_cast<DWORD_PTR>(pmic), cbmic);
}

MMRESULT WINAPI midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback,
                           DWORD_PTR dwInstance, DWORD fdwOpen) {
    if (!phmi) return MMSYSERR_INVALPARAM;
    *phmi = nullptr;
    if (MMRESULT r = vtmm::CheckCallbackFlags(fdwOpen)) return r;
    if (MMRESULT r = vtmm::EnsureDriver()) return r;
    Handle* p = vtmm::NewHandle(vtmm::kInMagic, uDeviceID);
    if (!p) return MMSYSERR_NOMEM;
    MIDIOPENDESC desc{};
    desc.hMidi = reinterpret_cast<HMIDI>(p);
    desc.dwCallback = dwCallback;
    desc.dwInstance = dwInstance;
    DWORD r = vtmm::MidMessage(uDeviceID, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&p->dwDriverUser),
                               reinterpret_cast<DWORD_PTR>(&desc), fdwOpen);
    if (r != MMSYSERR_NOERROR) {
        vtmm::DeleteHandle(p);
        return r;
    }
    *phmi = reinterpret_cast<HMIDIIN>(p);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInClose(HMIDIIN hmi) {
    Handle* p = In(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    // With buffers still queued the driver answers MIDIERR_STILLPLAYING and
    // the handle stays open.
    DWORD r = Send(p, MIDM_CLOSE);
    if (r == MMSYSERR_NOERROR) vtmm::DeleteHandle(p);
    return r;
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    Handle* p = In(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = vtmm::CheckDataHeader(pmh, cbmh)) return r;
    // The driver stores a byte before it looks for the end of a buffer.
    if (pmh->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
    return Send(p, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(pmh), cbmh);
}

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    Handle* p = In(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    return vtmm::PrepareHeader(true, p, pmh, cbmh);
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    Handle* p = In(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    return vtmm::UnprepareHeader(true, p, pmh, cbmh);
}

MMRESULT WINAPI midiInStart(HMIDIIN hmi) {
    Handle* p = In(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    return Send(p, MIDM_START);
}

MMRESULT WINAPI midiInStop(HMIDIIN hmi) {
    Handle* p = In(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    return Send(p, MIDM_STOP);
}

MMRESULT WINAPI midiInReset(HMIDIIN hmi) {
    Handle* p = In(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    return Send(p, MIDM_RESET);
}

MMRESULT WINAPI midiInGetID(HMIDIIN hmi, UINT* puDeviceID) {
    Handle* p = In(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (!puDeviceID) return MMSYSERR_INVALPARAM;
    *puDeviceID = p->uDeviceID;
    return MMSYSERR_NOERROR;
}
}
