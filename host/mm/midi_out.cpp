// The winmm output calls: each checks its handle and arguments, then passes
// one MODM_ message to the driver.
#include "host/mm/layer.h"

using vtmm::Handle;

namespace {

Handle* Out(HMIDIOUT hmo) {
    return vtmm::FindHandle(hmo, vtmm::kOutMagic);
}

}  // namespace

extern "C" {

UINT WINAPI midiOutGetNumDevs(void) {
    if (vtmm::EnsureDriver() != MMSYSERR_NOERROR) return 0;
    return vtmm::ModMessage(0, MODM_GETNUMDEVS, 0, 0, 0);
}

MMRESULT WINAPI midiOutGetDevCapsW(UINT_PTR uDeviceID, LPMIDIOUTCAPSW pmoc, UINT cbmoc) {
    if (!pmoc) return MMSYSERR_INVALPARAM;
    if (MMRESULT r = vtmm::EnsureDriver()) return r;
    return vtmm::ModMessage(static_cast<UINT>(uDeviceID), MODM_GETDEVCAPS, 0,
                            reinterpret_cast<DWORD_PTR>(pmoc), cbmoc);
}

MMRESULT WINAPI midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback,
                            DWORD_PTR dwInstance, DWORD fdwOpen) {
    if (!phmo) return MMSYSERR_INVALPARAM;
    *phmo = nullptr;
    Handle* p = nullptr;
    MMRESULT r = vtmm::OpenHandle(vtmm::kOutMagic, uDeviceID, dwCallback, dwInstance, fdwOpen, &p);
    if (r == MMSYSERR_NOERROR) *phmo = reinterpret_cast<HMIDIOUT>(p);
    return r;
}

MMRESULT WINAPI midiOutClose(HMIDIOUT hmo) {
    return vtmm::CloseMidiHandle(Out(hmo));
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    return vtmm::SendToDriver(p, MODM_DATA, dwMsg);
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = vtmm::CheckDataHeader(pmh, cbmh)) return r;
    return vtmm::SendToDriver(p, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(pmh), cbmh);
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return vtmm::PrepareHeader(Out(hmo), pmh, cbmh);
}

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return vtmm::UnprepareHeader(Out(hmo), pmh, cbmh);
}

MMRESULT WINAPI midiOutReset(HMIDIOUT hmo) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    return vtmm::SendToDriver(p, MODM_RESET);
}

MMRESULT WINAPI midiOutGetID(HMIDIOUT hmo, UINT* puDeviceID) {
    return vtmm::GetDeviceID(Out(hmo), puDeviceID);
}
}
