// The winmm output calls: each checks its handle and arguments, then passes
// one MODM_ message to the driver.
#include "host/mm/layer.h"

using vtmm::Handle;

namespace {

Handle* Out(HMIDIOUT hmo) {
    return vtmm::FindHandle(hmo, vtmm::kOutMagic);
}

DWORD Send(Handle* p, UINT uMsg, DWORD_PTR dwParam1 = 0, DWORD_PTR dwParam2 = 0) {
    return vtmm::ModMessage(p->uDeviceID, uMsg, p->dwDriverUser, dwParam1, dwParam2);
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
    if (MMRESULT r = vtmm::CheckCallbackFlags(fdwOpen)) return r;
    if (MMRESULT r = vtmm::EnsureDriver()) return r;
    Handle* p = vtmm::NewHandle(vtmm::kOutMagic, uDeviceID);
    if (!p) return MMSYSERR_NOMEM;
    MIDIOPENDESC desc{};
    desc.hMidi = reinterpret_cast<HMIDI>(p);
    desc.dwCallback = dwCallback;
    desc.dwInstance = dwInstance;
    DWORD r = vtmm::ModMessage(uDeviceID, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&p->dwDriverUser),
                               reinterpret_cast<DWORD_PTR>(&desc), fdwOpen);
    if (r != MMSYSERR_NOERROR) {
        vtmm::DeleteHandle(p);
        return r;
    }
    *phmo = reinterpret_cast<HMIDIOUT>(p);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutClose(HMIDIOUT hmo) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    DWORD r = Send(p, MODM_CLOSE);
    if (r == MMSYSERR_NOERROR) vtmm::DeleteHandle(p);  // a refused close keeps the handle
    return r;
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    return Send(p, MODM_DATA, dwMsg);
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = vtmm::CheckDataHeader(pmh, cbmh)) return r;
    return Send(p, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(pmh), cbmh);
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    return vtmm::PrepareHeader(false, p, pmh, cbmh);
}

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    return vtmm::UnprepareHeader(false, p, pmh, cbmh);
}

MMRESULT WINAPI midiOutReset(HMIDIOUT hmo) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    return Send(p, MODM_RESET);
}

MMRESULT WINAPI midiOutGetID(HMIDIOUT hmo, UINT* puDeviceID) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (!puDeviceID) return MMSYSERR_INVALPARAM;
    *puDeviceID = p->uDeviceID;
    return MMSYSERR_NOERROR;
}
}
