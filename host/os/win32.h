// The driver's view of the Win32 subset on POSIX: the names, types, records
// and constants of <windows.h>, <mmsystem.h> and <mmddk.h> that the driver
// and host/os use, with the same sizes and semantics. WCHAR is 16 bits here as
// on Windows, and wide literals are written VT_TEXT("..."). Everything lives
// under one object root ($VELTRANE_ROOT, default /tmp/veltrane-$UID); see
// host.h for the calls that exist only here.
//
// Client code written for Windows uses the other view, host/mm/include; one
// translation unit cannot include both.
#pragma once

#ifdef VT_CLIENT_VIEW
#error \
    "host/os/win32.h is the driver's view (16-bit WCHAR); this file already has the client headers (<windows.h> from host/mm/include, WCHAR is wchar_t)"
#endif
#define VT_DRIVER_VIEW 1

#include "host/os/mmddk_base.h"
#include "host/os/mmsystem_base.h"
#include "host/os/win32_base.h"

// ---------------------------------------------------------------- text
typedef VT_CHAR16 WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;

// Wide text literal with 16-bit characters on both targets.
#define VT_TEXT(s) u##s

// ---------------------------------------------------------------- records
typedef VtMidiOutCaps16 MIDIOUTCAPSW;
typedef MIDIOUTCAPSW* LPMIDIOUTCAPSW;
typedef VtMidiInCaps16 MIDIINCAPSW;
typedef MIDIINCAPSW* LPMIDIINCAPSW;

// ---------------------------------------------------------------- functions
extern "C" {
// 16-bit strings. wsprintfW knows %s (16-bit string), %c (16-bit character),
// %d, %u, %x and %%; the result is cut at 1024 characters as on Windows.
LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2);
int WINAPI lstrlenW(LPCWSTR lpString);
int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...);

// Events are private to the process; a name is not supported (anything but
// null or an empty string is refused with ERROR_INVALID_PARAMETER).
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName);

// A named mutex is one object for every process under the same root:
// re-entrant for its owning thread, and handed to the next waiter with
// WAIT_ABANDONED when its owner died holding it.
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCWSTR lpName);

// Device files: "\\.\NAME" opens a connection to the served Unix socket
// $VELTRANE_ROOT/dev/NAME; anything else fails with ERROR_FILE_NOT_FOUND.
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
}

// Whether the request issued with this record is over (completed or
// cancelled): a macro on Windows, here a read of the word that the completing
// thread writes last.
inline BOOL HasOverlappedIoCompleted(const OVERLAPPED* lpOverlapped) {
    return __atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) != STATUS_PENDING;
}

// wcschr on 16-bit strings (the C library's works on 32-bit wchar_t here).
inline const WCHAR* wcschr(const WCHAR* s, WCHAR c) {
    for (;; ++s) {
        if (*s == c) return s;
        if (*s == 0) return nullptr;
    }
}
inline WCHAR* wcschr(WCHAR* s, WCHAR c) {
    return const_cast<WCHAR*>(wcschr(const_cast<const WCHAR*>(s), c));
}
