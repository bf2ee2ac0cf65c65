// Inside the multimedia layer: the loaded driver, the table of open handles,
// the header rules that output and input share, and what the other calls
// need of streams. Not for applications. The layer is a client of host/os:
// its files see Win32 through the client headers (WCHAR is wchar_t).
#pragma once

#include <cstddef>

#include "host/mm/include/mmsystem.h"
#include "host/mm/vtmm.h"
#include "host/os/mmddk_base.h"

namespace vtmm {

// ---- the driver (driver_loader.cpp)
// Loads the driver and sends its start messages unless that is done; answers
// MMSYSERR_NOERROR or MMSYSERR_NODRIVER.
MMRESULT EnsureDriver();
// The driver's entry points; only after EnsureDriver answered 0.
DWORD ModMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                 DWORD_PTR dwParam2);
DWORD MidMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                 DWORD_PTR dwParam2);

// ---- handles (handles.cpp)
struct Stream;  // stream.cpp

// One open MIDI handle. Its address is the handle the application holds and
// the hMidi the driver calls back with. A stream handle is an output handle
// of the driver's that the layer's player drives.
struct Handle {
    uint32_t dwMagic;        // kInMagic, kOutMagic or kStreamMagic while registered
    UINT uDeviceID;          // as opened
    DWORD_PTR dwDriverUser;  // the driver's per-handle value, written by its open
    Stream* pStream;         // a stream handle's player, set before the open; else null
    bool fClosing;           // its close is under way; the table's lock
};
constexpr uint32_t kOutMagic = 0x4F4D4D56;     // "VMMO"
constexpr uint32_t kInMagic = 0x494D4D56;      // "VMMI"
constexpr uint32_t kStreamMagic = 0x534D4D56;  // "VMMS"

// Registers a new handle before the driver's open runs (the driver calls back
// with it during the open). Answers null when out of memory.
Handle* NewHandle(uint32_t dwMagic, UINT uDeviceID, Stream* pStream = nullptr);
// Unregisters and frees it.
void DeleteHandle(Handle* pHandle);
// The registered handle of that kind, or null. The record stays valid until
// its close: closing a handle while another thread still uses it is outside
// what the layer supports, as with winmm.
Handle* FindHandle(const void* h, uint32_t dwMagic);
// An output or stream handle: what the midiOut... calls take.
Handle* FindOutput(const void* h);
UINT OpenHandleCount();

// ---- what both directions do with a handle (handles.cpp)
// Those taking a Handle* answer MMSYSERR_INVALHANDLE for a null one (what
// FindHandle gives for anything not open) before they look at the rest.

// Sends a message about an open handle (never null) to the entry point of
// its kind: midMessage for input handles, modMessage for output and stream
// handles.
DWORD SendToDriver(const Handle* pHandle, UINT uMsg, DWORD_PTR dwParam1 = 0,
                   DWORD_PTR dwParam2 = 0);
// midiOutOpen and midiInOpen after their pointer check: the flags, the
// driver, a handle of that kind registered before the driver's open runs
// (MODM_OPEN or MIDM_OPEN with its MIDIOPENDESC). Answers the driver's
// result; *ppHandle is the handle on success, untouched otherwise.
MMRESULT OpenHandle(uint32_t dwMagic, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                    DWORD fdwOpen, Handle** ppHandle, Stream* pStream = nullptr);
// The close message; a refused close (input with buffers still queued
// answers MIDIERR_STILLPLAYING) keeps the handle open. A close of a handle
// whose close is under way (one made from inside its close notification)
// answers MMSYSERR_INVALHANDLE without reaching the driver.
MMRESULT CloseMidiHandle(Handle* pHandle);
// midiOutGetID and midiInGetID.
MMRESULT GetDeviceID(const Handle* pHandle, UINT* puDeviceID);
// midiOutMessage and midiInMessage: the driver's own messages (from
// DRV_RESERVED up) pass; the standard ones have calls of their own, which
// keep the layer's handles right, and answer MMSYSERR_INVALPARAM here.
MMRESULT DriverMessage(const Handle* pHandle, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);
// midiConnect and midiDisconnect: MIDI thru is not offered. An input or
// output handle as the source and an output handle as the destination answer
// MMSYSERR_NOTSUPPORTED; anything else MMSYSERR_INVALHANDLE.
MMRESULT ThruConnection(const void* hSource, const void* hDestination);

// ---- headers (headers.cpp)
// Smallest header size accepted: the fields up to dwOffset, which is what
// the driver reads and writes (winmm accepts such older headers too).
constexpr UINT kMinHeaderSize = offsetof(MIDIHDR, dwOffset);
// Prepare and unprepare through the driver's message of the handle's kind,
// doing the work itself when the driver answers MMSYSERR_NOTSUPPORTED.
// MMSYSERR_INVALHANDLE for a null pHandle, before the header is looked at.
MMRESULT PrepareHeader(const Handle* pHandle, LPMIDIHDR pmh, UINT cbmh);
MMRESULT UnprepareHeader(const Handle* pHandle, LPMIDIHDR pmh, UINT cbmh);
// Checks of a header handed over for data: MMSYSERR_INVALPARAM,
// MIDIERR_UNPREPARED, MIDIERR_STILLPLAYING or MMSYSERR_NOERROR.
MMRESULT CheckDataHeader(LPMIDIHDR pmh, UINT cbmh);

// ---- open flags (headers.cpp)
// MMSYSERR_INVALFLAG for callback kinds the host cannot deliver.
MMRESULT CheckCallbackFlags(DWORD fdwOpen);

// ---- streams (stream.cpp)
// Largest stream buffer, as winmm's.
constexpr DWORD kMaxStreamBuffer = 65536;
// midiOutClose and midiOutReset of a stream handle (never null): close as
// midiStreamClose does; reset as midiStreamStop does, then the driver's reset.
MMRESULT CloseStream(Handle* pHandle);
MMRESULT ResetStream(Handle* pHandle);
// A data message (MODM_DATA, MODM_LONGDATA) the application sends through a
// stream handle at once: kept apart from the player's own sends.
DWORD SendStreamData(const Handle* pHandle, UINT uMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2);

}  // namespace vtmm
