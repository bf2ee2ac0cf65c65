/* <windows.h> for MIDI client code written for Windows, built on Linux
 * against the multimedia layer (C99 or later, C++11 or later). Not a whole
 * Win32: the types, handles and calls that MIDI programs use beside winmm.
 *
 * Wide text: WCHAR is the C library's wchar_t, so L"..." literals, wchar_t
 * buffers and std::wstring are WCHAR text as on Windows; it holds 32-bit code
 * points (UTF-32) where Windows holds UTF-16, so records with WCHAR names are
 * larger than on Windows. Every record without text has its Windows size.
 * The ANSI code page (CP_ACP) is UTF-8. UNICODE picks the wide forms of the
 * generic names, as on Windows.
 *
 * Defined by host/os (the kernel32 calls of win32_base.h) and host/mm
 * (text_codes.cpp, client_win32.cpp): link libvtmm and libvthost.
 */
#pragma once

#ifdef VT_DRIVER_VIEW
#error \
    "<windows.h> from host/mm/include is the client view (WCHAR is wchar_t); this file already has host/os/win32.h, the driver's view (16-bit WCHAR)"
#endif
#define VT_CLIENT_VIEW 1

/* The C library's string calls for both widths, which Windows programs
 * find through these headers (wcslen and the like come with <string.h>
 * there). */
#include <string.h>
#include <wchar.h>

#include "../../os/win32_base.h"

#if !defined(__SIZEOF_WCHAR_T__) || __SIZEOF_WCHAR_T__ != 4
#error \
    "the wide calls of this layer (the ...W names, and every generic name under UNICODE) take the C library's 32-bit wchar_t: build without -fshort-wchar"
#endif

/* ---------------------------------------------------------------- text */
typedef wchar_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* LPWCH;
typedef WCHAR* PWCH;
typedef const WCHAR* LPCWCH;
typedef const WCHAR* PCWCH;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;

#ifdef UNICODE
typedef WCHAR TCHAR;
typedef WCHAR TBYTE;
#define __TEXT(s) L##s
#else
typedef char TCHAR;
typedef unsigned char TBYTE;
#define __TEXT(s) s
#endif
#define TEXT(s) __TEXT(s)
typedef TCHAR* PTCHAR;
typedef TCHAR* LPTSTR;
typedef TCHAR* PTSTR;
typedef const TCHAR* LPCTSTR;
typedef const TCHAR* PCTSTR;
typedef TCHAR* LPTCH;
typedef TCHAR* PTCH;

/* A generic name: its ...W form under UNICODE, its ...A form otherwise. */
#ifdef UNICODE
#define VT_AW(name) name##W
#else
#define VT_AW(name) name##A
#endif

/* ---------------------------------------------------------------- small macros */
#define MAX_PATH 260
#define far
#define near
#define DECLARE_HANDLE(name) VT_DECLARE_HANDLE(name)
#define UNREFERENCED_PARAMETER(p) (void)(p)
#define LOBYTE(w) ((BYTE)((DWORD_PTR)(w)&0xFF))
#define HIBYTE(w) ((BYTE)(((DWORD_PTR)(w) >> 8) & 0xFF))
#define LOWORD(l) ((WORD)((DWORD_PTR)(l)&0xFFFF))
#define HIWORD(l) ((WORD)(((DWORD_PTR)(l) >> 16) & 0xFFFF))
#define MAKEWORD(lo, hi) \
    ((WORD)(((BYTE)((DWORD_PTR)(lo)&0xFF)) | ((WORD)((BYTE)((DWORD_PTR)(hi)&0xFF))) << 8))
#define MAKELONG(lo, hi) \
    ((LONG)(((WORD)((DWORD_PTR)(lo)&0xFFFF)) | ((DWORD)((WORD)((DWORD_PTR)(hi)&0xFFFF))) << 16))
#define ZeroMemory(p, cb) memset((p), 0, (cb))
#define FillMemory(p, cb, v) memset((p), (v), (cb))
#define CopyMemory(d, s, cb) memcpy((d), (s), (cb))
#define MoveMemory(d, s, cb) memmove((d), (s), (cb))
/* min and max as in C code for Windows; in C++ they would break the standard
 * library's headers, as NOMINMAX avoids on Windows. */
#if !defined(__cplusplus) && !defined(NOMINMAX)
#ifndef max
#define max(a, b) (((a) > (b)) ? (a) : (b))
#endif
#ifndef min
#define min(a, b) (((a) < (b)) ? (a) : (b))
#endif
#endif

/* ---------------------------------------------------------------- code pages */
#define CP_ACP 0        /* UTF-8 on this host */
#define CP_OEMCP 1      /* UTF-8 on this host */
#define CP_THREAD_ACP 3 /* UTF-8 on this host */
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_COMPOSITECHECK 0x00000200
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400

/* ---------------------------------------------------------------- functions */
VT_EXTERN_C_BEGIN

/* Text conversions between UTF-8 and WCHAR (UTF-32) with Windows' rules:
 * cch -1 means a terminated string (the count then includes the terminator),
 * a zero output size asks for the size needed, a short buffer fails with
 * ERROR_INSUFFICIENT_BUFFER. CP_ACP, CP_OEMCP, CP_THREAD_ACP and CP_UTF8 are
 * all UTF-8; CP_UTF8 takes only MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS
 * (else ERROR_INVALID_FLAGS) and no default character, while the ANSI pages
 * also take and ignore the flags that matter only to other code pages. Input
 * that is not valid text becomes U+FFFD, or fails with
 * ERROR_NO_UNICODE_TRANSLATION under the ..._ERR_INVALID_CHARS flag. Other
 * code pages fail with ERROR_INVALID_PARAMETER. A UTF-16 surrogate pair in a
 * WCHAR string is taken as the one character it encodes. */
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar);
/* 65001 (UTF-8). */
UINT WINAPI GetACP(void);
UINT WINAPI GetOEMCP(void);

/* The wide calls that the driver's view of the host also has, with 16-bit
 * text, link under names of their own. */
#define CreateEventW VtClientCreateEventW
#define CreateFileW VtClientCreateFileW

/* Events are private to the process: a name (anything but null or an empty
 * string) is refused with ERROR_INVALID_PARAMETER. */
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName);
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName);
#define CreateEvent VT_AW(CreateEvent)

/* Device files: "\\.\NAME" is a device node of the (simulated) interfaces,
 * $VELTRANE_ROOT/dev/NAME; any other path fails with ERROR_FILE_NOT_FOUND.
 * Use DeviceIoControl and CloseHandle on what they answer. */
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
#define CreateFile VT_AW(CreateFile)

/* Debug output goes to standard error. */
void WINAPI OutputDebugStringA(LPCSTR lpOutputString);
void WINAPI OutputDebugStringW(LPCWSTR lpOutputString);
#define OutputDebugString VT_AW(OutputDebugString)

VT_EXTERN_C_END
