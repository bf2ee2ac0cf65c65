// MultiByteToWideChar and WideCharToMultiByte between UTF-8 (every code page
// offered) and the client's WCHAR (UTF-32), with Windows' rules for sizes,
// flags and invalid input; GetACP and GetOEMCP.
#include <string>

#include "host/mm/layer.h"
#include "host/mm/utf.h"

namespace {

constexpr UINT kUtf8 = CP_UTF8;

// The code pages offered, all of them UTF-8 here.
bool KnownCodePage(UINT uCodePage) {
    return uCodePage == CP_ACP || uCodePage == CP_OEMCP || uCodePage == CP_THREAD_ACP ||
           uCodePage == kUtf8;
}

// Flags a code page takes: CP_UTF8 only the one that makes invalid input an
// error, the ANSI pages also those that mean something only for other pages.
bool FlagsAllowed(UINT uCodePage, DWORD dwFlags, DWORD dwStrict, DWORD dwIgnored) {
    DWORD allowed = uCodePage == kUtf8 ? dwStrict : dwStrict | dwIgnored;
    return (dwFlags & ~allowed) == 0;
}

int Fail(DWORD dwError) {
    SetLastError(dwError);
    return 0;
}

// Stores n units of out into the caller's buffer of cchOut, or answers the
// count alone when cchOut is 0.
template <typename Unit>
int Deliver(const std::basic_string<Unit>& out, Unit* pOut, int cchOut) {
    if (out.size() > static_cast<size_t>(INT32_MAX)) return Fail(ERROR_INVALID_PARAMETER);
    int n = static_cast<int>(out.size());
    if (cchOut == 0) return n;
    if (n > cchOut) return Fail(ERROR_INSUFFICIENT_BUFFER);
    for (int i = 0; i < n; ++i)
        pOut[i] = out[static_cast<size_t>(i)];
    return n;
}

// Reads n units a character at a time and writes each; false (and
// ERROR_NO_UNICODE_TRANSLATION) at text that is not valid when fStrict.
template <typename Read, typename Write>
bool Transcode(size_t n, bool fStrict, Read read, Write write) {
    for (size_t i = 0; i < n;) {
        vtmm::utf::Char ch = read(i, n - i);
        if (!ch.fValid && fStrict) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return false;
        }
        write(ch.c);
        i += ch.cUnits;
    }
    return true;
}

// The length of a terminated string, the terminator counted (cch -1).
template <typename Unit>
size_t TerminatedLength(const Unit* p) {
    size_t n = 0;
    while (p[n] != 0)
        ++n;
    return n + 1;
}

}  // namespace

extern "C" {

UINT WINAPI GetACP(void) {
    return kUtf8;
}

UINT WINAPI GetOEMCP(void) {
    return kUtf8;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    if (!KnownCodePage(CodePage) || !lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 ||
        cchWideChar < 0 || (cchWideChar > 0 && !lpWideCharStr) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!FlagsAllowed(CodePage, dwFlags, MB_ERR_INVALID_CHARS,
                      MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS))
        return Fail(ERROR_INVALID_FLAGS);
    const auto* p = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    size_t n =
        cbMultiByte == -1 ? TerminatedLength(lpMultiByteStr) : static_cast<size_t>(cbMultiByte);
    std::wstring out;
    if (!Transcode(
            n, (dwFlags & MB_ERR_INVALID_CHARS) != 0,
            [&](size_t i, size_t left) { return vtmm::utf::ReadUtf8(p + i, left); },
            [&](char32_t c) { out.push_back(static_cast<wchar_t>(c)); }))
        return 0;
    return Deliver(out, lpWideCharStr, cchWideChar);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
    if (!KnownCodePage(CodePage) || !lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 ||
        cbMultiByte < 0 || (cbMultiByte > 0 && !lpMultiByteStr) ||
        static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr))
        return Fail(ERROR_INVALID_PARAMETER);
    // UTF-8 represents every character: there is no default character to use.
    if (CodePage == kUtf8 && (lpDefaultChar || lpUsedDefaultChar))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!FlagsAllowed(
            CodePage, dwFlags, WC_ERR_INVALID_CHARS,
            WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS))
        return Fail(ERROR_INVALID_FLAGS);
    if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
    size_t n =
        cchWideChar == -1 ? TerminatedLength(lpWideCharStr) : static_cast<size_t>(cchWideChar);
    std::string out;
    if (!Transcode(
            n, (dwFlags & WC_ERR_INVALID_CHARS) != 0,
            [&](size_t i, size_t left) { return vtmm::utf::ReadWide(lpWideCharStr + i, left); },
            [&](char32_t c) {
                char bytes[4];
                vtmm::utf::WriteUtf8(c, bytes);
                out.append(bytes, vtmm::utf::Utf8Length(c));
            }))
        return 0;
    return Deliver(out, lpMultiByteStr, cbMultiByte);
}

}  // extern "C"
