// Critical sections: a re-entrant lock private to the process, kept in the
// caller's record as on Windows.
#include <mutex>

#include "host/os/internal.h"

namespace {

struct HostLock {
    std::recursive_mutex m;
};

std::recursive_mutex& LockOf(LPCRITICAL_SECTION p) {
    return reinterpret_cast<HostLock*>(p->DebugInfo)->m;
}

// Called with the lock held: the owner and the depth, as Windows keeps them.
void Entered(LPCRITICAL_SECTION p) {
    if (p->RecursionCount++ == 0)
        p->OwningThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId()));
}

}  // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    *lpCriticalSection = RTL_CRITICAL_SECTION{};
    lpCriticalSection->LockCount = -1;
    lpCriticalSection->DebugInfo = reinterpret_cast<PRTL_CRITICAL_SECTION_DEBUG>(new HostLock);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    delete reinterpret_cast<HostLock*>(lpCriticalSection->DebugInfo);
    lpCriticalSection->DebugInfo = nullptr;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    LockOf(lpCriticalSection).lock();
    Entered(lpCriticalSection);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (!LockOf(lpCriticalSection).try_lock()) return FALSE;
    Entered(lpCriticalSection);
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (--lpCriticalSection->RecursionCount == 0) lpCriticalSection->OwningThread = nullptr;
    LockOf(lpCriticalSection).unlock();
}

}  // extern "C"
