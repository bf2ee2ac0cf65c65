// The text conversions client code calls: UTF-8 (every code page offered)
// to and from WCHAR (the C library's wchar_t) with Windows' rules for sizes,
// flags and text that is not valid.
#include <gtest/gtest.h>

#include <string>

#include <windows.h>

namespace {

struct Result {
    int n;
    DWORD dwError;  // GetLastError when n is 0
    std::wstring text;
};

Result ToWide(UINT cp, DWORD flags, const std::string& in, int cbIn, int cchOut = 64) {
    wchar_t out[64] = {};
    SetLastError(0);
    int n = MultiByteToWideChar(cp, flags, in.c_str(), cbIn, cchOut ? out : nullptr, cchOut);
    return {n, n ? 0 : GetLastError(), std::wstring(out, n > 0 && cchOut ? n : 0)};
}

TEST(TextCodes, MultiByteToWideChar) {
    const std::string music = "A\xC3\xA9\xF0\x9D\x84\x9E";  // A, e acute, G clef
    struct Row {
        const char* what;
        Result got, expected;
    } rows[] = {
        {"terminated",
         ToWide(CP_UTF8, 0, music, -1),
         {4, 0, std::wstring(L"A\u00e9\U0001D11E") + L'\0'}},
        {"counted", ToWide(CP_UTF8, 0, music, 3), {2, 0, L"A\u00e9"}},
        {"size asked", ToWide(CP_ACP, 0, music, -1, 0), {4, 0, L""}},
        {"short buffer", ToWide(CP_UTF8, 0, music, -1, 3), {0, ERROR_INSUFFICIENT_BUFFER, L""}},
        {"bad continuation", ToWide(CP_UTF8, 0, "\xC3(", 2), {2, 0, L"\uFFFD("}},
        {"overlong", ToWide(CP_UTF8, 0, "\xC0\xAF", 2), {2, 0, L"\uFFFD\uFFFD"}},
        {"surrogate", ToWide(CP_UTF8, 0, "\xED\xA0\x80", 3), {3, 0, L"\uFFFD\uFFFD\uFFFD"}},
        {"cut short", ToWide(CP_UTF8, 0, "\xE2\x82", 2), {1, 0, L"\uFFFD"}},
        {"invalid refused",
         ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, "\xC3(", 2),
         {0, ERROR_NO_UNICODE_TRANSLATION, L""}},
        {"ANSI flags", ToWide(CP_ACP, MB_PRECOMPOSED, "a", 1), {1, 0, L"a"}},
        {"UTF-8 flags", ToWide(CP_UTF8, MB_PRECOMPOSED, "a", 1), {0, ERROR_INVALID_FLAGS, L""}},
        {"other page", ToWide(1252, 0, "a", 1), {0, ERROR_INVALID_PARAMETER, L""}},
        {"empty input", ToWide(CP_UTF8, 0, "a", 0), {0, ERROR_INVALID_PARAMETER, L""}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.got.n, r.expected.n);
        EXPECT_EQ(r.got.dwError, r.expected.dwError);
        EXPECT_EQ(r.got.text, r.expected.text);
    }
    EXPECT_EQ(GetACP(), 65001u);
}

struct Bytes {
    int n;
    DWORD dwError;
    std::string text;
};

Bytes ToUtf8(UINT cp, DWORD flags, const std::wstring& in, int cchIn, int cbOut = 64,
             LPCCH defaultChar = nullptr, LPBOOL usedDefault = nullptr) {
    char out[64] = {};
    SetLastError(0);
    int n = WideCharToMultiByte(cp, flags, in.c_str(), cchIn, cbOut ? out : nullptr, cbOut,
                                defaultChar, usedDefault);
    return {n, n ? 0 : GetLastError(), std::string(out, n > 0 && cbOut ? n : 0)};
}

TEST(TextCodes, WideCharToMultiByte) {
    BOOL used = TRUE;
    const std::wstring pair = {L'A', wchar_t(0xD834), wchar_t(0xDD1E)};  // G clef in UTF-16
    struct Row {
        const char* what;
        Bytes got, expected;
    } rows[] = {
        {"terminated",
         ToUtf8(CP_UTF8, 0, L"A\u00e9\U0001D11E", -1),
         {8, 0, std::string("A\xC3\xA9\xF0\x9D\x84\x9E", 8)}},
        {"surrogate pair", ToUtf8(CP_UTF8, 0, pair, 3), {5, 0, "A\xF0\x9D\x84\x9E"}},
        {"lone surrogate",
         ToUtf8(CP_UTF8, 0, std::wstring(1, wchar_t(0xD800)), 1),
         {3, 0, "\xEF\xBF\xBD"}},
        {"past Unicode",
         ToUtf8(CP_UTF8, 0, std::wstring(1, wchar_t(0x110000)), 1),
         {3, 0, "\xEF\xBF\xBD"}},
        {"invalid refused",
         ToUtf8(CP_UTF8, WC_ERR_INVALID_CHARS, std::wstring(1, wchar_t(0xD800)), 1),
         {0, ERROR_NO_UNICODE_TRANSLATION, ""}},
        {"size asked", ToUtf8(CP_UTF8, 0, L"\u00e9", -1, 0), {3, 0, ""}},
        {"short buffer", ToUtf8(CP_UTF8, 0, L"\u00e9", -1, 2), {0, ERROR_INSUFFICIENT_BUFFER, ""}},
        {"UTF-8 default char",
         ToUtf8(CP_UTF8, 0, L"a", 1, 64, "?"),
         {0, ERROR_INVALID_PARAMETER, ""}},
        {"ANSI default char",
         ToUtf8(CP_ACP, WC_NO_BEST_FIT_CHARS, L"a", 1, 64, "?", &used),
         {1, 0, "a"}},
        {"UTF-8 flags",
         ToUtf8(CP_UTF8, WC_NO_BEST_FIT_CHARS, L"a", 1),
         {0, ERROR_INVALID_FLAGS, ""}},
        {"no input", ToUtf8(CP_UTF8, 0, L"a", 0), {0, ERROR_INVALID_PARAMETER, ""}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.got.n, r.expected.n);
        EXPECT_EQ(r.got.dwError, r.expected.dwError);
        EXPECT_EQ(r.got.text, r.expected.text);
    }
    EXPECT_EQ(used, FALSE) << "UTF-8 never needs the default character";
}

}  // namespace
