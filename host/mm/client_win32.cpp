// The kernel32 calls of client code that host/os has in its driver's view
// only (with 16-bit text, or no ANSI form): events and device files in both
// widths, and debug output.
#include <cstdio>
#include <string>

#include "host/mm/layer.h"
#include "host/mm/utf.h"
#include "host/os/host.h"

namespace {

// Text of any width as the driver's view's 16-bit text.
template <typename Unit, typename Read>
std::u16string To16(const Unit* psz, Read read) {
    std::u16string out;
    size_t n = 0;
    while (psz[n])
        ++n;
    for (size_t i = 0; i < n;) {
        vtmm::utf::Char ch = read(psz + i, n - i);
        if (ch.c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((ch.c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((ch.c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(ch.c));
        }
        i += ch.cUnits;
    }
    return out;
}

HANDLE CreateUnnamedEvent(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                          BOOL bInitialState, bool fNamed) {
    if (fNamed) {
        SetLastError(ERROR_INVALID_PARAMETER);  // events have no names here
        return nullptr;
    }
    return VtHostCreateEvent16(lpEventAttributes, bManualReset, bInitialState, nullptr);
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName) {
    return CreateUnnamedEvent(lpEventAttributes, bManualReset, bInitialState,
                              lpName != nullptr && *lpName != 0);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName) {
    return CreateUnnamedEvent(lpEventAttributes, bManualReset, bInitialState,
                              lpName != nullptr && *lpName != 0);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (!lpFileName) return CreateFileW(nullptr, 0, 0, nullptr, 0, 0, nullptr);
    std::u16string path =
        To16(reinterpret_cast<const unsigned char*>(lpFileName), vtmm::utf::ReadUtf8);
    return VtHostCreateFile16(path.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                              dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string path = To16(lpFileName, vtmm::utf::ReadWide<wchar_t>);
    return VtHostCreateFile16(path.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                              dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
    if (lpOutputString) std::fputs(lpOutputString, stderr);
}

void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
    if (!lpOutputString) return;
    int cb = WideCharToMultiByte(CP_UTF8, 0, lpOutputString, -1, nullptr, 0, nullptr, nullptr);
    if (cb <= 0) return;
    std::string text(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, lpOutputString, -1, &text[0], cb, nullptr, nullptr);
    std::fputs(text.c_str(), stderr);
}

}  // extern "C"
