// The one switch between the two sets of OS services. Driver code includes
// only this header for Win32 names: on Windows the system's own headers, on
// Linux the Win32 subset on POSIX with the same names and semantics.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#ifndef VT_TEXT
#define VT_TEXT(s) L##s
#endif

// winmm exports DriverCallback but the toolchain's headers do not declare it.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice,
                                      DWORD dwMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                                      DWORD_PTR dwParam2);

#else
#include "host/os/win32.h"
#endif

// The Windows SDK's reads of a value others change interlocked (the
// toolchain's headers lack them, and so does the Linux subset): a plain load
// on x86, seen by the thread sanitizer as the atomic read it is. Inline: the
// input drain reads one before every callback, and every send reads the
// lock's handle with acquire order, against the compare-exchange that
// publishes it.
inline LONG ReadNoFence(LONG const volatile* lpSource) {
    return __atomic_load_n(lpSource, __ATOMIC_RELAXED);
}
inline PVOID ReadPointerNoFence(PVOID const volatile* lpSource) {
    return __atomic_load_n(lpSource, __ATOMIC_RELAXED);
}
inline PVOID ReadPointerAcquire(PVOID const volatile* lpSource) {
    return __atomic_load_n(lpSource, __ATOMIC_ACQUIRE);
}
