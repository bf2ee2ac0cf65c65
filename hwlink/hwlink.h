// The hardware link: where the ring blocks live, how a stream takes and gives
// back its block, the cross-process lock, and the control requests that
// verify and acquire an interface and start and stop a port's stream.
//
// Used by midiin/ and midiout/ (handles, encoding, drain) and by driver/'s
// lifecycle; it includes nothing of the driver above include/.
#pragma once

#include "include/veltrane.h"

// ---- memory (shared_data.cpp: the one place that knows where it lives; used
// by the FIFO blocks and by the acquisition counters of kernel control).
// The shared data of the system, mapped on first use.
SharedData* SharedDataOfSystem();
// This process's input region: kDevNodes blocks, node d at word d * 1024.
DWORD* InputRegionOfProcess();

// ---- FIFO blocks (fifo.cpp; used by kernel control's start and stop, and by
// the lifecycle when an instance goes away).
// Gives stream its block and counts this process as a user; initialises the
// block when no process uses it. Runs under the lock. Answers 1.
BOOL AllocateFIFO(PortStream* pStream, HardwareInstance* pInstance);
// Gives the block back: 1 if one was held, 0 otherwise.
BOOL FreeFIFO(PortStream* pStream, HardwareInstance* pInstance);
// The block of node dwDevNode in a region.
MidiFifo* FifoBlock(DWORD* pRegion, DWORD dwDevNode);
// Which of pInstance's streams pStream is (kStreamOutA, kStreamOutB or
// kStreamIn); kStreamCount when it is none of them.
UINT StreamIndex(const PortStream* pStream, const HardwareInstance* pInstance);
// Where the shared data marks the process that stops the stream of the
// stream's block (output blocks, which other processes share); null for the
// input block. Read and written under the named mutex.
DWORD* StoppingMarkOfBlock(PortStream* pStream, HardwareInstance* pInstance);

// ---- cross-process lock (lock.cpp; used by every floor that touches a ring,
// a client list or the started bit of an input client).
constexpr WORD kCsEnter = 1;
constexpr WORD kCsLeave = 2;
extern HANDLE hCsMutex;  // null until first use; set once, interlocked
extern const WCHAR szCriticalSectionMutex[];
BOOL InitCriticalSectionMutex();
// op 1 takes the lock, 2 gives it back, anything else does nothing. Re-entrant.
void CriticalSection(WORD op, void* pContext);

// ---- kernel driver control (kernel_control.cpp; used by the opens and closes
// of both directions, and by the lifecycle for the stream handles). Each takes
// the instance's control lock itself, so any thread may call them at any
// time; none is called with the named mutex held.
DWORD AcquireHwPort(HardwareInstance* pInstance);
DWORD ReleaseHwPort(HardwareInstance* pInstance);
BOOL VerifyHwPort(HardwareInstance* pInstance);
BOOL StartHwPortStreaming(PortStream* pStream, HardwareInstance* pInstance);
BOOL StopHwPortStreaming(PortStream* pStream, HardwareInstance* pInstance);
// The pipe of a stream's start request; -1 for a stream not of pInstance.
LONG GetUSBPipeNumber(PortStream* pStream, HardwareInstance* pInstance);
// Closes the handles a stream kept for a start request that has completed,
// or all of them when fAll (cancelling a request still pending). Under the
// control lock, or by the lifecycle.
void CloseFinishedStreamHandles(PortStream* pStream, BOOL fAll);
