// The kernel32 calls that only client code has (the driver's view has no
// ANSI names): CreateEventA, and debug output.
#include <cstdio>
#include <string>

#include "host/mm/layer.h"

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName) {
    if (lpName != nullptr && *lpName != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);  // events have no names here
        return nullptr;
    }
    return CreateEventW(lpEventAttributes, bManualReset, bInitialState, nullptr);
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
