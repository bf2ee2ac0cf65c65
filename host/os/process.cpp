// Thread and process services: the thread-local last error, sleeping, the
// tick count, process and thread ids, and the interlocked operations.
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "host/os/win32.h"

namespace {
thread_local DWORD tlsLastError = 0;

// The thread's id, asked of the kernel once (Windows reads it from the thread's
// own block; the input drain asks for it around every run of callbacks). A
// child of fork has the forking thread's copy: it asks again.
thread_local DWORD tlsThreadId = 0;
void ForgetThreadId() {
    tlsThreadId = 0;
}
const int kForgetThreadIdInChild = pthread_atfork(nullptr, nullptr, ForgetThreadId);
}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) {
    return tlsLastError;
}
void WINAPI SetLastError(DWORD dwErrCode) {
    tlsLastError = dwErrCode;
}

BOOL WINAPI DisableThreadLibraryCalls(HMODULE) {
    return TRUE;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    timespec ts{static_cast<time_t>(dwMilliseconds / 1000),
                static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

BOOL WINAPI SwitchToThread(void) {
    sched_yield();
    return TRUE;
}

DWORD WINAPI GetTickCount(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

DWORD WINAPI GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}
DWORD WINAPI GetCurrentThreadId(void) {
    if (tlsThreadId == 0) tlsThreadId = static_cast<DWORD>(syscall(SYS_gettid));
    return tlsThreadId;
}

LONG WINAPI InterlockedIncrement(LONG volatile* lpAddend) {
    return __atomic_add_fetch(lpAddend, 1, __ATOMIC_SEQ_CST);
}
LONG WINAPI InterlockedDecrement(LONG volatile* lpAddend) {
    return __atomic_sub_fetch(lpAddend, 1, __ATOMIC_SEQ_CST);
}
LONG WINAPI InterlockedExchangeAdd(LONG volatile* lpAddend, LONG lValue) {
    return __atomic_fetch_add(lpAddend, lValue, __ATOMIC_SEQ_CST);
}
LONG WINAPI InterlockedExchange(LONG volatile* lpTarget, LONG lValue) {
    return __atomic_exchange_n(lpTarget, lValue, __ATOMIC_SEQ_CST);
}
LONG WINAPI InterlockedCompareExchange(LONG volatile* lpDest, LONG lExchange, LONG lComparand) {
    __atomic_compare_exchange_n(lpDest, &lComparand, lExchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return lComparand;  // the value found, whether or not it was replaced
}
PVOID WINAPI InterlockedCompareExchangePointer(PVOID volatile* lpDest, PVOID lExchange,
                                               PVOID lComparand) {
    __atomic_compare_exchange_n(lpDest, &lComparand, lExchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return lComparand;
}
PVOID WINAPI InterlockedExchangePointer(PVOID volatile* lpTarget, PVOID lValue) {
    return __atomic_exchange_n(lpTarget, lValue, __ATOMIC_SEQ_CST);
}

}  // extern "C"
