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
// Gives stream its block and counts this process as a user (once per output
// block, with its holder record); initialises the block when no process uses
// it. Runs under the lock. Answers 1; 0, and nothing changes, when an output
// block finds no free holder record.
BOOL AllocateFIFO(PortStream* pStream, HardwareInstance* pInstance);
// Gives the block back: 1 if one was held, 0 otherwise.
BOOL FreeFIFO(PortStream* pStream, HardwareInstance* pInstance);
// The block of node dwDevNode in a region.
MidiFifo* FifoBlock(DWORD* pRegion, DWORD dwDevNode);
// The block a stream uses (or would use), whether or not it holds it.
MidiFifo* BlockOfStream(PortStream* pStream, HardwareInstance* pInstance);
// Which of pInstance's streams pStream is (kStreamOutA, kStreamOutB or
// kStreamIn); kStreamCount when it is none of them.
UINT StreamIndex(const PortStream* pStream, const HardwareInstance* pInstance);
// What is under way on the stream's block (output blocks, which other
// processes share); null for the input block. Read and written under the
// named mutex.
BlockMarks* MarksOfBlock(PortStream* pStream, HardwareInstance* pInstance);

// ---- holders (holders.cpp; used by the FIFO blocks, kernel control, the
// lock when it finds the mutex abandoned, and the output encoding's hold on a
// port while long data goes out).
// Under the named mutex: this process's record, made when fMake and missing;
// null when it has none (or every record is a live process's).
HolderRecord* HolderOfProcess(BOOL fMake);
// Under the named mutex: the number by which marks name this process (its
// record's index + 1); 0 when it has no record.
DWORD HolderNumberOfProcess();
// Under the named mutex: frees this process's record when it holds nothing
// and no mark names it.
void ForgetHolderIfIdle();
// Gives back what processes that no longer run held: their records go, the
// marks that named them are cleared, and every output block's cRef and
// interface's cNtAcquire is counted again from the records left. Takes the
// named mutex itself, and looks at the processes without it.
void ReclaimDeadHolders();
// The same with the named mutex held (the lock found it abandoned).
void ReclaimDeadHoldersLocked();

// ---- cross-process lock (lock.cpp; used by every floor that touches a ring,
// a client list or the started bit of an input client).
constexpr WORD kCsEnter = 1;
constexpr WORD kCsLeave = 2;
extern HANDLE hCsMutex;  // null until first use; set once interlocked, read with acquire
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
// Starts again the stream of a block this process streams through (cOpen
// above 0) once the kernel side has ended it, which it says by writing
// MIDI_FIFO_MAGIC back into word 0; the packets in the ring stay and go out.
// Called by the output write and the input drain that find the magic, without
// the named mutex; fWait: wait for the control lock (else give up at once
// when it is busy). Answers 0 when the stream runs again, or another process
// is starting it; MMSYSERR_NODRIVER when the interface is gone (its device
// file does not open, or another device answers on its node);
// MMSYSERR_ERROR when the port no longer streams in this process or the
// start fails.
DWORD RestartHwPortStreaming(PortStream* pStream, HardwareInstance* pInstance, BOOL fWait);
// The pipe of a stream's start request; -1 for a stream not of pInstance.
LONG GetUSBPipeNumber(PortStream* pStream, HardwareInstance* pInstance);
// Closes the handles a stream kept for a start request that has completed,
// or all of them when fAll (cancelling a request still pending). Under the
// control lock, or by the lifecycle.
void CloseFinishedStreamHandles(PortStream* pStream, BOOL fAll);
