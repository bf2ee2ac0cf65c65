// The Linux multimedia layer: the MIDI half of winmm, with the same names,
// signatures and result codes, over the driver library (libveltrane.so) that
// it loads once per process. Applications and tests include this instead of
// <mmsystem.h>.
//
// The driver is loaded on first use: $VELTRANE_DRIVER names its path, else
// the libveltrane.so beside this library, else the one of the build tree. The
// layer then sends DRV_LOAD, DRV_ENABLE and DRV_OPEN to DriverProc and counts
// the ports once in each direction (as winmm does when it loads a driver), so
// that opening a port by ID works without asking for the count first.
// VtMmShutdown, or the end of the process, sends DRV_CLOSE, DRV_DISABLE and
// DRV_FREE and unloads it, but never while a handle is open.
//
// Device IDs go to the driver unchanged and a handle keeps the ID it was
// opened with. The driver receives the application's callback and instance in
// the MIDIOPENDESC with hMidi set to the layer's handle, so its notifications
// reach the application straight through the host's DriverCallback.
// Callback kinds: CALLBACK_NULL, CALLBACK_FUNCTION and CALLBACK_EVENT.
#pragma once

#include "host/os/win32.h"

typedef HMIDIOUT* LPHMIDIOUT;
typedef HMIDIIN* LPHMIDIIN;

#define MAXERRORLENGTH 256
#define MIDI_MAPPER ((UINT)-1)

extern "C" {
// ---- output
UINT WINAPI midiOutGetNumDevs(void);
MMRESULT WINAPI midiOutGetDevCapsW(UINT_PTR uDeviceID, LPMIDIOUTCAPSW pmoc, UINT cbmoc);
MMRESULT WINAPI midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback,
                            DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT WINAPI midiOutClose(HMIDIOUT hmo);
MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg);
MMRESULT WINAPI midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiOutReset(HMIDIOUT hmo);
MMRESULT WINAPI midiOutGetID(HMIDIOUT hmo, UINT* puDeviceID);
MMRESULT WINAPI midiOutGetErrorTextW(MMRESULT mmrError, LPWSTR pszText, UINT cchText);
MMRESULT WINAPI midiOutGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText);

// ---- input
UINT WINAPI midiInGetNumDevs(void);
MMRESULT WINAPI midiInGetDevCapsW(UINT_PTR uDeviceID, LPMIDIINCAPSW pmic, UINT cbmic);
MMRESULT WINAPI midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback,
                           DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT WINAPI midiInClose(HMIDIIN hmi);
MMRESULT WINAPI midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT WINAPI midiInStart(HMIDIIN hmi);
MMRESULT WINAPI midiInStop(HMIDIIN hmi);
MMRESULT WINAPI midiInReset(HMIDIIN hmi);
MMRESULT WINAPI midiInGetID(HMIDIIN hmi, UINT* puDeviceID);
MMRESULT WINAPI midiInGetErrorTextW(MMRESULT mmrError, LPWSTR pszText, UINT cchText);
MMRESULT WINAPI midiInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText);

// ---- only here
// Sends DRV_CLOSE, DRV_DISABLE and DRV_FREE and unloads the driver. Answers
// MMSYSERR_HANDLEBUSY, and leaves the driver loaded, while any handle is open;
// MMSYSERR_NOERROR otherwise (also when nothing was loaded). The next call of
// the API loads the driver again.
MMRESULT WINAPI VtMmShutdown(void);
// Why the driver could not be loaded (the calls then answer MMSYSERR_NODRIVER
// and the counts 0), or an empty string.
const char* WINAPI VtMmDriverError(void);
// Number of open handles of both directions.
UINT WINAPI VtMmOpenHandles(void);
}
