// What the Win32 subset on POSIX offers beyond the Win32 names: the object
// root, memory that the kernel side can map, and test-only controls of the
// clock, the timer thread and failure injection. The driver reaches these only
// from the one place that says where its shared memory lives; host/mm uses the
// clock for the players it runs. The same in both views of wide text.
#pragma once

#include "host/os/mmsystem_base.h"

VT_EXTERN_C_BEGIN
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

// CreateEventW and CreateFileW of the driver's view (16-bit text), under
// names that do not depend on a view's WCHAR: the client view's wide calls,
// which take wchar_t text, reach them so (host/mm).
HANDLE VtHostCreateEvent16(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, const VT_CHAR16* lpName);
HANDLE VtHostCreateFile16(const VT_CHAR16* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Number of live handles in this process's handle table.
DWORD VtHostHandleCount(void);

// How many times DefDriverProc ran in this process, and its last message.
DWORD VtHostDefDriverProcCalls(UINT* puLastMsg);

// The multimedia clock in microseconds, for players that schedule finer than
// timeGetTime: the monotonic clock, or under the manual clock the time the
// test set (VtHostSetTime's milliseconds times 1000, moved by
// VtHostAdvanceTime). Does not wrap.
uint64_t VtHostClockUs(void);
// Waits until the event hEvent is set (WAIT_OBJECT_0; an auto-reset event is
// reset again) or the multimedia clock reaches qwDueUs (WAIT_TIMEOUT);
// UINT64_MAX waits for the event alone. Under the manual clock only the test
// moves the clock. WAIT_FAILED for a handle that is no event.
DWORD VtHostWaitEventUntil(HANDLE hEvent, uint64_t qwDueUs);

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
// Waits (up to dwTimeoutMs of real time) until some thread is blocked in
// VtHostWaitEventUntil for a time after the clock's present one, and answers
// the earliest such time (UINT64_MAX: waiting for its event alone); 0 when
// none came. After moving the manual clock, this is the moment a player has
// done all that was due and waits for what comes next.
uint64_t VtHostNextClockWait(DWORD dwTimeoutMs);

VT_EXTERN_C_END
