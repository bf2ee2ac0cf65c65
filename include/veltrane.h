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
//   the control lock  csControl: the acquisition, start and stop bookkeeping
//                     of one instance in this process; held across the
//                     control requests, never while an application is called
//                     back, and taken before the named mutex, never after;
//   the send guard    cSendBusy (midiout/entry.cpp): one output send at a time
//                     per instance and process;
//   the probe         MODM_/MIDM_GETNUMDEVS and GETDEVCAPS, on any application
//                     thread and without a lock: the last probe wins;
//   the lifecycle     DriverProc's DRV_ENABLE and DRV_DISABLE;
//   interlocked       changed only by Interlocked* calls;
//   set at open (or creation), read-only after.

// One stream of an instance (kStreamOutA, kStreamOutB or kStreamIn).
struct PortStream {
    // Clients of this process streaming through it. Changed under the control
    // lock and the named mutex together; read under either (the output write
    // and the input drain hold the named mutex).
    LONG cOpen;
    // The block in use, or null; pFifoBase is set and cleared with it, the mark
    // that a block is held. Changed under the control lock and the named mutex
    // together (AllocateFIFO, FreeFIFO); read under either.
    MidiFifo* pFifo;
    MidiFifo* pFifoBase;
    // The device handle carrying this process's start request, that request's
    // event and its own overlapped record, which the request's completion
    // writes. The control lock; the lifecycle when the instance goes.
    HANDLE hStream;
    HANDLE hStreamEvent;
    OVERLAPPED ovlStart;
    DWORD dwCookie;  // the cookie the kernel side wrote for that request
    // 1 while this process stops the stream: the block is held until the
    // stream has ended, and an open of this stream waits. The control lock;
    // while it is set, the stopping thread alone uses the stream's handles
    // and block, without the lock.
    DWORD fStopping;
};

// Packets the input drain takes out of the ring at once: all it can hold.
constexpr DWORD kInBatchPackets = 1024;

// One per device node and process, from DRV_ENABLE to DRV_DISABLE.
struct HardwareInstance {
    // Device handle of the acquisition under way, null otherwise, and the
    // byte count of its descriptor request. The control lock.
    HANDLE hDevice;
    DWORD dwBytesReturned;
    // Made at creation, deleted at removal; see the guards above.
    CRITICAL_SECTION csControl;
    LONG cAcquire;    // open client handles of this process; the control lock
    DWORD dwDevNode;  // 0..7, the key; set at creation, read-only after
    // AddDevNode calls not yet matched by RemoveDevNode, the enable count, and
    // 1 while it is above 0. The lifecycle; fEnabled is read without a lock.
    WORD cAdd;
    WORD cEnable;
    DWORD fEnabled;
    DWORD fPresent;           // device file opened at the last probe; the probe
    LONG volatile cSendBusy;  // the output send guard of this process; interlocked
    // Per output port: the running status its ring last received from this
    // process, 0 unknown. The send guard, and the stream start that opens the
    // port first in this process, under the control lock (no handle of this
    // process can send on it then).
    BYTE abLastStatus[2];
    // Client lists of input A and input B, linked through InputClient.pNext.
    // The named mutex; the lifecycle reads them without it.
    InputClient* apInClients[2];
    // Returned buffers of this instance's input clients waiting for delivery
    // (InputClient.aNotices), over all clients. The named mutex.
    DWORD cNoticesWaiting;
    // The packets the drain took out of the input ring together, the time it
    // took them, and the number of that batch. Every started client parses
    // them at its own pace (InputClient.iParsed); the next batch is taken
    // once all of them are through. Written by the drain under the named
    // mutex; read under it.
    DWORD adwInBatch[kInBatchPackets];
    DWORD cInBatch;
    DWORD dwInBatchTime;
    DWORD dwInBatch;
    // The clients the last parse round holds for the delivery of their
    // notifications, linked through InputClient.pNextDelivery; the drain (one
    // tick at a time, fDraining). And 1 when a tick left notifications
    // undelivered (a timer kill cut it short): written by the drain,
    // interlocked, as a tick reads it before it takes fDraining, to pass over
    // an idle instance.
    InputClient* pInDelivery;
    LONG volatile fInLeftOver;
    LONG volatile fDraining;            // 1 while a timer tick drains this instance; interlocked
    LONG volatile cTimers;              // live timers of its input clients; interlocked
    HardwareInstance* pNext;            // the next instance of the list; the lifecycle
    PortStream aStreams[kStreamCount];  // each field says its own guard
    // The device file's path, written once at creation: \\.\veltrane-N.
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
    // Per output block (region, then node): the id of the process stopping its
    // stream, 0 none. While it is set the block is neither joined nor set up
    // afresh. The named mutex.
    DWORD adwStoppingProcess[2][kDevNodes];
};
