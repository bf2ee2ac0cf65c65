// The winmm output calls: each checks its handle and arguments, then passes
// one MODM_ message to the driver. They take stream handles too (cast), which
// send at once; closing and resetting one goes through its player.
#include "host/mm/layer.h"

using vtmm::Handle;

namespace {

Handle* Out(HMIDIOUT hmo) {
    return vtmm::FindOutput(hmo);
}

bool IsStream(const Handle* p) {
    return p->dwMagic == vtmm::kStreamMagic;
}

// The data messages: a stream handle's are kept apart from its player's.
DWORD SendData(const Handle* p, UINT uMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2 = 0) {
    return IsStream(p) ? vtmm::SendStreamData(p, uMsg, dwParam1, dwParam2)
                       : vtmm::SendToDriver(p, uMsg, dwParam1, dwParam2);
}

}  // namespace

extern "C" {

UINT WINAPI midiOutGetNumDevs(void) {
    if (vtmm::EnsureDriver() != MMSYSERR_NOERROR) return 0;
    return vtmm::ModMessage(0, MODM_GETNUMDEVS, 0, 0, 0);
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
    Handle* p = Out(hmo);
    if (p && IsStream(p)) return vtmm::CloseStream(p);
    return vtmm::CloseMidiHandle(p);
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    return SendData(p, MODM_DATA, dwMsg);
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = vtmm::CheckDataHeader(pmh, cbmh)) return r;
    return SendData(p, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(pmh), cbmh);
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    Handle* p = Out(hmo);
    // A stream plays buffers of at most 64 KB; winmm refuses larger ones here.
    if (p && IsStream(p) && pmh && cbmh >= vtmm::kMinHeaderSize &&
        pmh->dwBufferLength > vtmm::kMaxStreamBuffer)
        return MMSYSERR_INVALPARAM;
    return vtmm::PrepareHeader(p, pmh, cbmh);
}

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    return vtmm::UnprepareHeader(Out(hmo), pmh, cbmh);
}

MMRESULT WINAPI midiOutReset(HMIDIOUT hmo) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (IsStream(p)) return vtmm::ResetStream(p);
    return vtmm::SendToDriver(p, MODM_RESET);
}

MMRESULT WINAPI midiOutGetVolume(HMIDIOUT hmo, LPDWORD pdwVolume) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (!pdwVolume) return MMSYSERR_INVALPARAM;
    return vtmm::SendToDriver(p, MODM_GETVOLUME, reinterpret_cast<DWORD_PTR>(pdwVolume));
}

MMRESULT WINAPI midiOutSetVolume(HMIDIOUT hmo, DWORD dwVolume) {
    Handle* p = Out(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    return vtmm::SendToDriver(p, MODM_SETVOLUME, dwVolume);
}

MMRESULT WINAPI midiOutGetID(HMIDIOUT hmo, LPUINT puDeviceID) {
    return vtmm::GetDeviceID(Out(hmo), puDeviceID);
}

MMRESULT WINAPI midiOutMessage(HMIDIOUT hmo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2) {
    return vtmm::DriverMessage(Out(hmo), uMsg, dw1, dw2);
}

MMRESULT WINAPI midiConnect(HMIDI hmi, HMIDIOUT hmo, LPVOID) {
    return vtmm::ThruConnection(hmi, hmo);
}

MMRESULT WINAPI midiDisconnect(HMIDI hmi, HMIDIOUT hmo, LPVOID) {
    return vtmm::ThruConnection(hmi, hmo);
}
}
