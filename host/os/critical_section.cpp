// Critical sections in Windows' own record: a futex word for the lock
// (LockCount), the owner's thread ID and its recursion count.
//
// LockCount: 0 free, 1 held, 2 held and a thread may sleep on it. Taking it
// from 0 is one compare-and-swap; a contender marks it 2 and sleeps while it
// stays 2; the owner's Leave sets 0 and wakes one sleeper when it was 2.
// OwningThread and RecursionCount are written by the owner only; another
// thread may read a stale owner, but never its own ID unless it owns the lock.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "host/os/win32.h"

namespace {

constexpr LONG kFree = 0;
constexpr LONG kHeld = 1;
constexpr LONG kContended = 2;

thread_local DWORD tlsThreadId = 0;

DWORD ThisThread() {
    if (tlsThreadId == 0) tlsThreadId = GetCurrentThreadId();
    return tlsThreadId;
}

HANDLE AsOwner(DWORD dwThreadId) {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(dwThreadId));
}

bool OwnedByCaller(LPCRITICAL_SECTION cs) {
    return __atomic_load_n(&cs->OwningThread, __ATOMIC_RELAXED) == AsOwner(ThisThread());
}

void FutexWait(LONG* p, LONG expected) {
    syscall(SYS_futex, p, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWakeOne(LONG* p) {
    syscall(SYS_futex, p, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

bool TryTake(LPCRITICAL_SECTION cs) {
    LONG expected = kFree;
    return __atomic_compare_exchange_n(&cs->LockCount, &expected, kHeld, false, __ATOMIC_ACQUIRE,
                                       __ATOMIC_RELAXED);
}

void BecomeOwner(LPCRITICAL_SECTION cs) {
    __atomic_store_n(&cs->OwningThread, AsOwner(ThisThread()), __ATOMIC_RELAXED);
    cs->RecursionCount = 1;
}

}  // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    InitializeCriticalSectionAndSpinCount(lpCriticalSection, 0);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                  DWORD dwSpinCount) {
    *lpCriticalSection = CRITICAL_SECTION{};
    lpCriticalSection->SpinCount = dwSpinCount;
    return TRUE;
}

BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount,
                                        DWORD) {
    return InitializeCriticalSectionAndSpinCount(lpCriticalSection, dwSpinCount);
}

DWORD WINAPI SetCriticalSectionSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount) {
    ULONG_PTR previous =
        __atomic_exchange_n(&lpCriticalSection->SpinCount, dwSpinCount, __ATOMIC_RELAXED);
    return static_cast<DWORD>(previous);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    LPCRITICAL_SECTION cs = lpCriticalSection;
    if (OwnedByCaller(cs)) {
        ++cs->RecursionCount;
        return;
    }
    // Spin while the owner may be about to leave, before sleeping.
    for (ULONG_PTR n = __atomic_load_n(&cs->SpinCount, __ATOMIC_RELAXED); n > 0; --n) {
        if (__atomic_load_n(&cs->LockCount, __ATOMIC_RELAXED) == kFree && TryTake(cs)) {
            BecomeOwner(cs);
            return;
        }
        CpuRelax();
    }
    if (!TryTake(cs)) {
        // Mark it contended; whoever held it wakes one sleeper when it leaves.
        while (__atomic_exchange_n(&cs->LockCount, kContended, __ATOMIC_ACQUIRE) != kFree)
            FutexWait(&cs->LockCount, kContended);
    }
    BecomeOwner(cs);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (OwnedByCaller(lpCriticalSection)) {
        ++lpCriticalSection->RecursionCount;
        return TRUE;
    }
    if (!TryTake(lpCriticalSection)) return FALSE;
    BecomeOwner(lpCriticalSection);
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    LPCRITICAL_SECTION cs = lpCriticalSection;
    if (!OwnedByCaller(cs)) return;
    if (--cs->RecursionCount > 0) return;
    __atomic_store_n(&cs->OwningThread, HANDLE(nullptr), __ATOMIC_RELAXED);
    if (__atomic_exchange_n(&cs->LockCount, kFree, __ATOMIC_RELEASE) == kContended)
        FutexWakeOne(&cs->LockCount);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    *lpCriticalSection = CRITICAL_SECTION{};
}

}  // extern "C"
