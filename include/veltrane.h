// The driver's shared records and constants: the per-process hardware
// instance, the common head of client records, the per-port stream record and
// the names of an instance's streams, and the shared data that every process
// maps. Result codes, message numbers and notification numbers are the
// platform's own (platform.h).
//
// Used by every floor of the driver; the records are filled and read by the
// floors that their fields' comments name.
#pragma once

#include "platform/platform.h"
#include "include/build_constants.h"
#include "include/kernel_abi.h"

struct InputClient;

// The streams of an instance, as indices of aStreams: one per output port, in
// port order, and one for both input ports.
constexpr UINT kStreamOutA = 0;
constexpr UINT kStreamOutB = 1;
constexpr UINT kStreamIn = 2;
constexpr UINT kStreamCount = 3;
static_assert(kStreamOutB == kStreamOutA + 1, "output port n streams through kStreamOutA + n");

// What guards a field is said in its comment, in these words:
//   the named mutex   CriticalSection (hwlink/), shared by every process;
//   the send guard    cSendBusy (midiout/entry.cpp): one output send at a time
//                     per instance and process;
//   the claim         hDevice, swapped in by the thread that makes a control
//                     request (acquire, stop) and used only by it;
//   open and close    the application thread that opens or closes a handle of
//                     the instance, without a lock: nothing keeps two such
//                     threads apart, so opens and closes made at once on one
//                     instance race on these fields;
//   the probe         MODM_/MIDM_GETNUMDEVS and GETDEVCAPS, on any application
//                     thread and without a lock: the last probe wins;
//   the lifecycle     DriverProc's DRV_ENABLE and DRV_DISABLE;
//   interlocked       changed only by Interlocked* calls;
//   set at open (or creation), read-only after.

// One stream of an instance (kStreamOutA, kStreamOutB or kStreamIn).
struct PortStream {
    // Clients of this process streaming through it. Open and close; read under
    // the named mutex by the output write and the input drain.
    LONG cOpen;
    // The block in use, or null; pFifoBase is set and cleared with it, the mark
    // that a block is held. The named mutex (AllocateFIFO, FreeFIFO).
    MidiFifo* pFifo;
    MidiFifo* pFifoBase;
    // The device handle carrying this process's start request, and that
    // request's event. Open and close; the lifecycle when the instance goes.
    HANDLE hStream;
    HANDLE hStreamEvent;
};

// One per device node and process, from DRV_ENABLE to DRV_DISABLE.
struct HardwareInstance {
    // Device handle of one control operation, null otherwise. Interlocked:
    // the claim swaps it in and gives it back.
    HANDLE volatile hDevice;
    // Byte count and overlapped record of this instance's requests. The claim,
    // and open and close for a stream start (which makes its request without
    // the claim). A pending start's completion writes ovl's Internal words.
    DWORD dwBytesReturned;
    OVERLAPPED ovl;
    LONG volatile cAcquire;  // open client handles of this process; interlocked
    DWORD dwDevNode;         // 0..7, the key; set at creation, read-only after
    // AddDevNode calls not yet matched by RemoveDevNode, the enable count, and
    // 1 while it is above 0. The lifecycle; fEnabled is read without a lock.
    WORD cAdd;
    WORD cEnable;
    DWORD fEnabled;
    DWORD fPresent;           // device file opened at the last probe; the probe
    LONG volatile cSendBusy;  // the output send guard of this process; interlocked
    // Per output port: the running status its ring last received from this
    // process, 0 unknown. The send guard, and the open that starts the port's
    // stream in this process (no handle of this process can send on it then).
    BYTE abLastStatus[2];
    // Client lists of input A and input B, linked through InputClient.pNext.
    // The named mutex; the lifecycle reads them without it.
    InputClient* apInClients[2];
    HardwareInstance* pNext;            // the next instance of the list; the lifecycle
    PortStream aStreams[kStreamCount];  // each field says its own guard
    // The device file's path. The probe, which rewrites the same text each
    // time (the template first, then the node's digit).
    WCHAR szDevicePath[256];
};

// The leading fields of OutputClient and InputClient: what midiCallback needs.
// All set at open, read-only after.
struct ClientHeader {
    HardwareInstance* pInstance;
    HMIDI hMidi;
    DWORD_PTR dwCallback;
    DWORD_PTR dwInstance;
    DWORD dwFlags;  // open flags; the high 16 bits are the callback type
};

// Memory common to every process that loads the driver: both output regions
// and the system-wide acquisition counters. The block of device node d of a
// region starts at word d * 1024.
struct SharedData {
    // Output A and output B blocks. Their words are guarded as MidiFifo says:
    // on this side, the named mutex.
    DWORD adwOut1MidiFifo[kDevNodes * kFifoWords];
    DWORD adwOut2MidiFifo[kDevNodes * kFifoWords];
    LONG volatile cNtAcquire[kDevNodes];  // processes holding each interface; interlocked
};
