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

// One stream of an instance (kStreamOutA, kStreamOutB or kStreamIn).
struct PortStream {
    LONG cOpen;           // clients of this process streaming through it
    MidiFifo* pFifo;      // the block in use, or null
    MidiFifo* pFifoBase;  // set and cleared with pFifo: the mark that a block is held
    HANDLE hStream;       // device handle carrying this process's start request
    HANDLE hStreamEvent;  // that request's event
};

// One per device node and process, from DRV_ENABLE to DRV_DISABLE.
struct HardwareInstance {
    HANDLE volatile hDevice;  // control handle, held for one operation; claimed by swap
    DWORD dwBytesReturned;    // byte count of this instance's control requests
    OVERLAPPED ovl;           // the one overlapped record of every request
    LONG volatile cAcquire;   // open client handles of this process
    DWORD dwDevNode;          // 0..7, the key
    WORD cAdd;                // AddDevNode calls not yet matched by RemoveDevNode
    WORD cEnable;
    DWORD fEnabled;           // 1 while cEnable > 0
    DWORD fPresent;           // device file opened at the last probe
    LONG volatile cSendBusy;  // output send guard of this process
    BYTE abLastStatus[2];     // per output port: running status its ring last received, 0 unknown
    InputClient* apInClients[2];  // client lists of input A and input B
    HardwareInstance* pNext;
    PortStream aStreams[kStreamCount];
    WCHAR szDevicePath[256];
};

// The leading fields of OutputClient and InputClient: what midiCallback needs.
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
    DWORD adwOut1MidiFifo[kDevNodes * kFifoWords];  // output A
    DWORD adwOut2MidiFifo[kDevNodes * kFifoWords];  // output B
    LONG volatile cNtAcquire[kDevNodes];            // processes holding each interface
};
