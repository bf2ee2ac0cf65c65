// What the Win32 subset on POSIX offers beyond the Win32 names: the object
// root, memory that the kernel side can map, and test-only controls of the
// clock, the timer thread and failure injection. The driver reaches these only
// from the one place that says where its shared memory lives.
#pragma once

#include "host/os/win32.h"

extern "C" {
// The object root: $VELTRANE_ROOT, or /tmp/veltrane-$UID when unset. Created
// (mode 0700) on first use; read once per process.
const char* VtHostRoot(void);

// Shared data: one named mapping of cb bytes under the root, the same memory
// in every process of the root. Created zero-filled by the first live process,
// kept while any process maps it, zero-filled again when a process maps it and
// finds no other live user (a crashed process leaves no stale state behind).
// Never fails: when the root cannot hold it, the memory is private and zeroed.
void* VtHostMapShared(const char* pszName, SIZE_T cb);

// Private memory of cb bytes (zero-filled) that lives in a mapping the kernel
// side can be handed, for out-direct requests on blocks that are not shared.
void* VtHostMapPrivate(SIZE_T cb);

// Where the mapping holding [p, p + cb) comes from: its descriptor and the
// offset of p in it. FALSE when no host mapping holds the whole range.
BOOL VtHostFindMapping(const void* p, SIZE_T cb, int* pFd, uint64_t* pOffset);

// Number of live handles in this process's handle table.
DWORD VtHostHandleCount(void);

// How many times DefDriverProc ran in this process, and its last message.
DWORD VtHostDefDriverProcCalls(UINT* puLastMsg);

// ---- test-only controls
// Replace the clock and the timer thread: with fManual set, timeGetTime
// answers the time set here and no timer runs by itself; VtHostRunTimers runs
// one tick of every live periodic timer on the calling thread.
void VtHostSetManualClock(BOOL fManual);
void VtHostSetTime(DWORD dwMs);
void VtHostAdvanceTime(DWORD dwMs);
void VtHostRunTimers(void);
// Number of live timers and the current timeBeginPeriod balance.
DWORD VtHostTimerCount(void);
LONG VtHostPeriodBalance(void);
// Make timeGetDevCaps answer TIMERR_NOCANDO / timeSetEvent answer 0.
void VtHostFailTimerCaps(BOOL fFail);
void VtHostFailTimerSet(BOOL fFail);
// Make the next cFailures calls of LocalAlloc answer NULL.
void VtHostFailAllocs(DWORD cFailures);
}
