// The Win32 subset this system needs, on POSIX: the names, types, records and
// constants of <windows.h>, <mmsystem.h> and <mmddk.h> that the driver, the
// multimedia layer and the tools use, with the same sizes and semantics.
// Everything lives under one object root ($VELTRANE_ROOT, default
// /tmp/veltrane-$UID); see host.h for the calls that exist only here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>

// ---------------------------------------------------------------- types
// Windows sizes on every host: DWORD is 32 bits (never unsigned long), WCHAR 16.
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t INT;
typedef int32_t BOOL;
typedef char CHAR;
typedef char16_t WCHAR;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef intptr_t LPARAM;
typedef uintptr_t WPARAM;
typedef intptr_t LRESULT;
typedef size_t SIZE_T;
typedef UINT MMRESULT;
typedef UINT MMVERSION;

typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
typedef HANDLE HLOCAL;
#define VT_DECLARE_HANDLE(name) \
    struct name##__ {           \
        int unused;             \
    };                          \
    typedef struct name##__* name
VT_DECLARE_HANDLE(HINSTANCE);
typedef HINSTANCE HMODULE;
VT_DECLARE_HANDLE(HDRVR);
VT_DECLARE_HANDLE(HWND);
VT_DECLARE_HANDLE(HMIDI);
VT_DECLARE_HANDLE(HMIDIIN);
VT_DECLARE_HANDLE(HMIDIOUT);

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define MAXPNAMELEN 32

// Calling conventions mean nothing on this host.
#define WINAPI
#define CALLBACK
#define APIENTRY
#define WINAPIV

// Wide text literal with 16-bit characters on both targets.
#define VT_TEXT(s) u##s

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// ---------------------------------------------------------------- records
struct OVERLAPPED {
    ULONG_PTR Internal;      // status of the completed request
    ULONG_PTR InternalHigh;  // bytes it returned
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

// A critical section as Windows lays it out. Here DebugInfo holds the host's
// lock, made by InitializeCriticalSection and freed by DeleteCriticalSection;
// the owner and recursion count are kept as Windows keeps them.
struct _RTL_CRITICAL_SECTION_DEBUG;
typedef struct _RTL_CRITICAL_SECTION_DEBUG* PRTL_CRITICAL_SECTION_DEBUG;
typedef struct _RTL_CRITICAL_SECTION {
    PRTL_CRITICAL_SECTION_DEBUG DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
} RTL_CRITICAL_SECTION, *PRTL_CRITICAL_SECTION;
typedef RTL_CRITICAL_SECTION CRITICAL_SECTION;
typedef PRTL_CRITICAL_SECTION PCRITICAL_SECTION;
typedef PRTL_CRITICAL_SECTION LPCRITICAL_SECTION;

struct MIDIOUTCAPSW {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[MAXPNAMELEN];
    WORD wTechnology;
    WORD wVoices;
    WORD wNotes;
    WORD wChannelMask;
    DWORD dwSupport;
};
typedef MIDIOUTCAPSW* LPMIDIOUTCAPSW;
static_assert(sizeof(MIDIOUTCAPSW) == 84, "MIDIOUTCAPSW is 84 bytes");

struct MIDIINCAPSW {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[MAXPNAMELEN];
    DWORD dwSupport;
};
typedef MIDIINCAPSW* LPMIDIINCAPSW;
static_assert(sizeof(MIDIINCAPSW) == 76, "MIDIINCAPSW is 76 bytes");

struct MIDIHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    MIDIHDR* lpNext;
    DWORD_PTR reserved;
    DWORD dwOffset;
    DWORD_PTR dwReserved[8];
};
typedef MIDIHDR* LPMIDIHDR;

struct MIDIOPENSTRMID {
    DWORD dwStreamID;
    UINT uDeviceID;
};

struct MIDIOPENDESC {
    HMIDI hMidi;
    DWORD_PTR dwCallback;
    DWORD_PTR dwInstance;
    DWORD_PTR dnDevNode;
    DWORD cIds;
    MIDIOPENSTRMID rgIds[1];
};
typedef MIDIOPENDESC* LPMIDIOPENDESC;

struct TIMECAPS {
    UINT wPeriodMin;
    UINT wPeriodMax;
};
typedef TIMECAPS* LPTIMECAPS;

typedef void(CALLBACK* LPTIMECALLBACK)(UINT uTimerID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1,
                                       DWORD_PTR dw2);
// The function an application gives with CALLBACK_FUNCTION.
typedef void(CALLBACK* DRVCALLBACK)(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1,
                                    DWORD_PTR dw2);

// ---------------------------------------------------------------- constants
#define ERROR_SUCCESS 0
#define NO_ERROR 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_GEN_FAILURE 31
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_BUSY 170
#define ERROR_ALREADY_EXISTS 183
#define ERROR_NOT_OWNER 288
#define ERROR_OPERATION_ABORTED 995
#define ERROR_IO_PENDING 997
#define ERROR_DEVICE_NOT_CONNECTED 1167
#define ERROR_INVALID_USER_BUFFER 1784

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1
#define FILE_SHARE_WRITE 0x2
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x80
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// Status values left in OVERLAPPED.Internal by a completed request.
#define STATUS_SUCCESS 0x00000000u
#define STATUS_PENDING 0x00000103u
#define STATUS_CANCELLED 0xC0000120u

// Driver messages.
#define DRV_LOAD 0x0001
#define DRV_ENABLE 0x0002
#define DRV_OPEN 0x0003
#define DRV_CLOSE 0x0004
#define DRV_DISABLE 0x0005
#define DRV_FREE 0x0006
#define DRV_CONFIGURE 0x0007
#define DRV_QUERYCONFIGURE 0x0008
#define DRV_INSTALL 0x0009
#define DRV_REMOVE 0x000A
#define DRV_EXITSESSION 0x000B
#define DRV_POWER 0x000F
#define DRV_RESERVED 0x0800
#define DRV_USER 0x4000

// Result codes.
#define MMSYSERR_BASE 0
#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_NOTENABLED 3
#define MMSYSERR_ALLOCATED 4
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_NOTSUPPORTED 8
#define MMSYSERR_BADERRNUM 9
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define MMSYSERR_HANDLEBUSY 12
#define MMSYSERR_INVALIDALIAS 13
#define MMSYSERR_BADDB 14
#define MMSYSERR_KEYNOTFOUND 15
#define MMSYSERR_READERROR 16
#define MMSYSERR_WRITEERROR 17
#define MMSYSERR_DELETEERROR 18
#define MMSYSERR_VALNOTFOUND 19
#define MMSYSERR_NODRIVERCB 20
#define MMSYSERR_MOREDATA 21
#define MMSYSERR_LASTERROR 21
#define MIDIERR_BASE 64
#define MIDIERR_UNPREPARED 64
#define MIDIERR_STILLPLAYING 65
#define MIDIERR_NOMAP 66
#define MIDIERR_NOTREADY 67
#define MIDIERR_NODEVICE 68
#define MIDIERR_INVALIDSETUP 69
#define MIDIERR_BADOPENMODE 70
#define MIDIERR_DONT_CONTINUE 71
#define MIDIERR_LASTERROR 71
#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO 97
#define TIMERR_STRUCT 129

// Notifications.
#define MIM_OPEN 0x3C1
#define MIM_CLOSE 0x3C2
#define MIM_DATA 0x3C3
#define MIM_LONGDATA 0x3C4
#define MIM_ERROR 0x3C5
#define MIM_LONGERROR 0x3C6
#define MOM_OPEN 0x3C7
#define MOM_CLOSE 0x3C8
#define MOM_DONE 0x3C9
#define MIM_MOREDATA 0x3CC

// Output and input driver messages.
#define MODM_GETNUMDEVS 1
#define MODM_GETDEVCAPS 2
#define MODM_OPEN 3
#define MODM_CLOSE 4
#define MODM_PREPARE 5
#define MODM_UNPREPARE 6
#define MODM_DATA 7
#define MODM_LONGDATA 8
#define MODM_RESET 9
#define MIDM_GETNUMDEVS 53
#define MIDM_GETDEVCAPS 54
#define MIDM_OPEN 55
#define MIDM_CLOSE 56
#define MIDM_PREPARE 57
#define MIDM_UNPREPARE 58
#define MIDM_ADDBUFFER 59
#define MIDM_START 60
#define MIDM_STOP 61
#define MIDM_RESET 62

#define MHDR_DONE 0x00000001
#define MHDR_PREPARED 0x00000002
#define MHDR_INQUEUE 0x00000004
#define MHDR_ISSTRM 0x00000008

#define MOD_MIDIPORT 1
#define MIDICAPS_VOLUME 0x0001

// Open flags: the callback type is in the high 16 bits.
#define CALLBACK_TYPEMASK 0x00070000u
#define CALLBACK_NULL 0x00000000u
#define CALLBACK_WINDOW 0x00010000u
#define CALLBACK_TASK 0x00020000u
#define CALLBACK_THREAD CALLBACK_TASK
#define CALLBACK_FUNCTION 0x00030000u
#define CALLBACK_EVENT 0x00050000u
#define MIDI_IO_STATUS 0x00000020u

// DriverCallback flags (the callback type shifted down).
#define DCB_NULL 0x0000
#define DCB_WINDOW 0x0001
#define DCB_TASK 0x0002
#define DCB_FUNCTION 0x0003
#define DCB_EVENT 0x0005
#define DCB_TYPEMASK 0x0007
#define DCB_NOSWITCH 0x0008

#define TIME_ONESHOT 0x0000
#define TIME_PERIODIC 0x0001
#define TIME_KILL_SYNCHRONOUS 0x0100
#define TIME_CALLBACK_FUNCTION 0x0000

// ---------------------------------------------------------------- functions
extern "C" {
// Memory: LocalAlloc honours LMEM_ZEROINIT; LocalFree answers NULL on success.
HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL WINAPI LocalFree(HLOCAL hMem);

// 16-bit strings. wsprintfW knows %s (16-bit string), %c (16-bit character),
// %d, %u, %x and %%; the result is cut at 1024 characters as on Windows.
LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2);
int WINAPI lstrlenW(LPCWSTR lpString);
int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...);

// Critical sections: process-private and re-entrant for the owning thread;
// one that is entered must be left as many times by the same thread.
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// Thread-local last error.
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);
void WINAPI Sleep(DWORD dwMilliseconds);
BOOL WINAPI SwitchToThread(void);
DWORD WINAPI GetTickCount(void);
DWORD WINAPI GetCurrentProcessId(void);
DWORD WINAPI GetCurrentThreadId(void);

// Handles. Every object below is reached through a handle of one process-wide
// table; CloseHandle ends this handle's reference.
BOOL WINAPI CloseHandle(HANDLE hObject);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Events are private to the process; a name is not supported.
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);

// A named mutex is one object for every process under the same root:
// re-entrant for its owning thread, and handed to the next waiter with
// WAIT_ABANDONED when its owner died holding it.
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCWSTR lpName);
BOOL WINAPI ReleaseMutex(HANDLE hMutex);

// Device files: "\\.\NAME" opens a connection to the served Unix socket
// $VELTRANE_ROOT/dev/NAME; anything else fails with ERROR_FILE_NOT_FOUND.
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// A control request on a device connection: synchronous, or overlapped when
// lpOverlapped is given. A request the kernel side keeps pending fails with
// ERROR_IO_PENDING; its completion later fills Internal/InternalHigh and
// signals the event hEvent held when it was issued. For an out-direct code the
// output buffer must lie in a mapping the host made (see host.h).
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);

// Interlocked operations on aligned 32-bit values and pointers (full barriers).
LONG WINAPI InterlockedIncrement(LONG volatile* lpAddend);
LONG WINAPI InterlockedDecrement(LONG volatile* lpAddend);
LONG WINAPI InterlockedExchangeAdd(LONG volatile* lpAddend, LONG lValue);
LONG WINAPI InterlockedExchange(LONG volatile* lpTarget, LONG lValue);
LONG WINAPI InterlockedCompareExchange(LONG volatile* lpDest, LONG lExchange, LONG lComparand);
PVOID WINAPI InterlockedCompareExchangePointer(PVOID volatile* lpDest, PVOID lExchange,
                                               PVOID lComparand);
PVOID WINAPI InterlockedExchangePointer(PVOID volatile* lpTarget, PVOID lValue);
// A read of a value others change interlocked, with no barrier: a plain load
// on x86, seen by the thread sanitizer as the atomic read it is. Inline: the
// input drain reads one before every callback.
inline LONG ReadNoFence(LONG const volatile* lpSource) {
    return __atomic_load_n(lpSource, __ATOMIC_RELAXED);
}
inline PVOID ReadPointerNoFence(PVOID const volatile* lpSource) {
    return __atomic_load_n(lpSource, __ATOMIC_RELAXED);
}

// Multimedia services.
LRESULT WINAPI DefDriverProc(DWORD_PTR dwDriverIdentifier, HDRVR hdrvr, UINT uMsg, LPARAM lParam1,
                             LPARAM lParam2);
// Calls the application back: DCB_FUNCTION calls dwCallback as a DRVCALLBACK
// with (hDevice, dwMsg, dwUser, dwParam1, dwParam2); DCB_EVENT sets the event
// whose handle is dwCallback. Any other type answers FALSE.
BOOL WINAPI DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg,
                           DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2);

// Multimedia timer: every periodic callback of the process runs on one timer
// thread at about 1 ms. When timeKillEvent returns, that timer's callback is
// not running and never runs again (unless it was called from that callback).
MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS ptc, UINT cbtc);
MMRESULT WINAPI timeBeginPeriod(UINT uPeriod);
MMRESULT WINAPI timeEndPeriod(UINT uPeriod);
MMRESULT WINAPI timeSetEvent(UINT uDelay, UINT uResolution, LPTIMECALLBACK lpTimeProc,
                             DWORD_PTR dwUser, UINT fuEvent);
MMRESULT WINAPI timeKillEvent(UINT uTimerID);
DWORD WINAPI timeGetTime(void);
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
