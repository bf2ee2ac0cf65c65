// The Win32 names of this subset that read the same in C (C99 and later) and
// C++, and in both views of wide text: the integer types with their Windows
// sizes, handles, the records and constants without text, and the kernel32
// calls that take no text.
//
// Two views stand on it. The driver's, host/os/win32.h (C++), where WCHAR is
// 16 bits as on Windows. The one for client code written for Windows,
// host/mm/include/windows.h and mmsystem.h (C and C++), where WCHAR is the C
// library's wchar_t so that L"..." is WCHAR text. One translation unit uses
// one view.
//
// Defined by host/os (the calls: handles.cpp, events.cpp, process.cpp,
// memory.cpp, device_io.cpp, critical_section.cpp); used by the driver through
// win32.h, by host/mm and by client code through the client headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define VT_EXTERN_C_BEGIN extern "C" {
#define VT_EXTERN_C_END }
#else
#define VT_EXTERN_C_BEGIN
#define VT_EXTERN_C_END
#endif

// A compile-time check in every language mode this header serves.
#if defined(__cplusplus)
#define VT_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VT_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define VT_STATIC_ASSERT_JOIN2(a, b) a##b
#define VT_STATIC_ASSERT_JOIN(a, b) VT_STATIC_ASSERT_JOIN2(a, b)
#define VT_STATIC_ASSERT(cond, msg) \
    typedef char VT_STATIC_ASSERT_JOIN(vt_static_assert_, __COUNTER__)[(cond) ? 1 : -1]
#endif

// ---------------------------------------------------------------- types
// Windows sizes on every host: DWORD is 32 bits (never unsigned long, which
// is 64 bits on Linux); the pointer-sized types are pointer-sized.
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t INT;
typedef int32_t BOOL;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORDLONG;
typedef uint64_t DWORD64;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef CHAR* LPSTR;
typedef CHAR* PSTR;
typedef CHAR* PCHAR;
typedef const CHAR* LPCSTR;
typedef const CHAR* PCSTR;
typedef CHAR* LPCH;
typedef const CHAR* LPCCH;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef WORD* PWORD;
typedef WORD* LPWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef LONG* LPLONG;
typedef UINT* PUINT;
typedef UINT* LPUINT;
typedef INT* PINT;
typedef INT* LPINT;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef DWORD_PTR* PDWORD_PTR;
typedef intptr_t LPARAM;
typedef uintptr_t WPARAM;
typedef intptr_t LRESULT;
typedef size_t SIZE_T;
typedef intptr_t SSIZE_T;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef HANDLE HLOCAL;
typedef HANDLE HGLOBAL;
// A handle type of its own, so that one kind does not pass for another.
#define VT_DECLARE_HANDLE(name) \
    struct name##__ {           \
        int unused;             \
    };                          \
    typedef struct name##__* name
VT_DECLARE_HANDLE(HINSTANCE);
typedef HINSTANCE HMODULE;
VT_DECLARE_HANDLE(HWND);

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

// Calling conventions and memory models mean nothing on this host.
#define WINAPI
#define WINAPIV
#define CALLBACK
#define APIENTRY
#define PASCAL
#define CDECL
#define FAR
#define NEAR
#define CONST const

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// ---------------------------------------------------------------- records
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;      // status of the completed request
    ULONG_PTR InternalHigh;  // bytes it returned
    __extension__ union {
        __extension__ struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

// A time in 100 ns units since 1601-01-01, in two halves.
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

// A lock for the threads of one process, re-entrant for its owner, with the
// fields and size of Windows' record. LockCount is the word the waiters sleep
// on (0 free, 1 held, 2 held with waiters); OwningThread holds the owner's
// thread ID and RecursionCount how often it entered. Only the lock's calls
// touch the fields (the owner's; LockCount interlocked).
typedef struct _RTL_CRITICAL_SECTION_DEBUG* PRTL_CRITICAL_SECTION_DEBUG;
typedef struct _RTL_CRITICAL_SECTION {
    PRTL_CRITICAL_SECTION_DEBUG DebugInfo;  // unused here
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;  // unused here
    ULONG_PTR SpinCount;
} RTL_CRITICAL_SECTION, *PRTL_CRITICAL_SECTION, CRITICAL_SECTION, *PCRITICAL_SECTION,
    *LPCRITICAL_SECTION;
VT_STATIC_ASSERT(sizeof(CRITICAL_SECTION) == 4 * sizeof(void*) + 8,
                 "CRITICAL_SECTION has its Windows size");

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
#define ERROR_INVALID_FLAGS 1004
#define ERROR_NO_UNICODE_TRANSLATION 1113
#define ERROR_DEVICE_NOT_CONNECTED 1167
#define ERROR_INVALID_USER_BUFFER 1784

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1
#define FILE_SHARE_WRITE 0x2
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x80
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define SYNCHRONIZE 0x00100000u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u

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

// ---------------------------------------------------------------- functions
VT_EXTERN_C_BEGIN

// Memory: LocalAlloc honours LMEM_ZEROINIT; LocalFree answers NULL on success.
HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL WINAPI LocalFree(HLOCAL hMem);

// Thread-local last error.
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);
void WINAPI Sleep(DWORD dwMilliseconds);
BOOL WINAPI SwitchToThread(void);
DWORD WINAPI GetTickCount(void);
DWORD WINAPI GetCurrentProcessId(void);
DWORD WINAPI GetCurrentThreadId(void);

// Other processes of the machine (this one included), by id. A handle stays
// with the process it was opened on, never with a later one of the same id:
// it is signalled once that process has ended. OpenProcess fails with
// ERROR_INVALID_PARAMETER when no such process exists; the access asked for
// is not checked. GetProcessTimes gives the creation time; the other three
// read as zero.
HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
BOOL WINAPI GetProcessTimes(HANDLE hProcess, LPFILETIME lpCreationTime, LPFILETIME lpExitTime,
                            LPFILETIME lpKernelTime, LPFILETIME lpUserTime);

// Handles. Every object below is reached through a handle of one process-wide
// table; CloseHandle ends this handle's reference.
BOOL WINAPI CloseHandle(HANDLE hObject);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Events (made by CreateEvent of either view) are private to the process.
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);

// Releases a named mutex (see CreateMutexW in win32.h) its caller owns.
BOOL WINAPI ReleaseMutex(HANDLE hMutex);

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

// Critical sections. Enter blocks (after spinning SpinCount rounds while the
// owner still runs) until the lock is free or already the caller's; Leave by
// a thread that does not own it changes nothing. Initialize never fails (the
// AndSpinCount form answers TRUE); a section may be deleted only when free.
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                  DWORD dwSpinCount);
BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount,
                                        DWORD Flags);
DWORD WINAPI SetCriticalSectionSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

VT_EXTERN_C_END
