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
    // Start requests of this process that put the stream's block into
    // streaming, the first and every one after the kernel side ended it.
    // Interlocked.
    LONG volatile cStarts;
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
    // Per output port: 1 while the ring holds a system-exclusive message of
    // this process that has not ended (F0 written, no status byte since): the
    // port stays this process's until it ends. Guarded as abLastStatus.
    BYTE afSysexOpen[2];
    // Per output port: the stream's cStarts that abLastStatus and
    // afSysexOpen are about; a start since means a stream (and perhaps an
    // interface) that knows nothing of them. Guarded as abLastStatus.
    LONG alStartsSeen[2];
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
    // GetTickCount when a tick last looked, under the named mutex, for streams
    // the kernel side ended (drain.cpp): an idle tick passes over the instance
    // only while that was less than the restart period ago. Written by the
    // drain, interlocked, as every tick reads it before it takes fDraining.
    LONG volatile lEndedCheckTick;
    DWORD dwRestartTick;      // GetTickCount of the drain's last restart; the drain (fDraining)
    LONG volatile fDraining;  // 1 while a timer tick drains this instance; interlocked
    LONG volatile cTimers;    // live timers of its input clients; interlocked
    HardwareInstance* pNext;  // the next instance of the list; the lifecycle
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

// A process that holds something of the shared data, so that what a process
// that died held can be given back: its id and creation time (which tell it
// from a later process given the same id) and what it holds. All fields: the
// named mutex.
struct HolderRecord {
    DWORD dwProcessId;  // 0: the record is free
    DWORD dwCreatedLow;
    DWORD dwCreatedHigh;
    DWORD dwAcquired;  // bit d: the process counts in cNtAcquire[d]
    DWORD dwBlocks;    // bit r * kDevNodes + d: it counts in cRef of output block (r, d)
};
constexpr DWORD kHolderRecords = 64;

// What is under way on one output block, each naming the process that does
// it by its holder record's index + 1 (0: nobody). The named mutex.
struct BlockMarks {
    DWORD dwStopping;  // stops the stream: the block is neither joined nor set up afresh
    DWORD dwStarting;  // issues a start request for it: nobody else starts it meanwhile
    DWORD dwCarrier;   // its start request carries the stream, as far as is known
    // Writes long data to it: other processes' writes wait. cLongPackets
    // counts that writer's packets, so that one that has stalled (or died)
    // is told from one that is busy.
    DWORD dwLongData;
    DWORD cLongPackets;
};

// Memory common to every process that loads the driver: both output regions,
// the system-wide acquisition counters, and who holds and does what. The block
// of device node d of a region starts at word d * 1024.
struct SharedData {
    // Output A and output B blocks. Their words are guarded as MidiFifo says:
    // on this side, the named mutex.
    DWORD adwOut1MidiFifo[kDevNodes * kFifoWords];
    DWORD adwOut2MidiFifo[kDevNodes * kFifoWords];
    // Processes holding each interface. Changed under the named mutex with
    // the holders' records; read without it.
    LONG volatile cNtAcquire[kDevNodes];
    BlockMarks aMarks[2][kDevNodes];  // per output block (region, then node)
    HolderRecord aHolders[kHolderRecords];
};
