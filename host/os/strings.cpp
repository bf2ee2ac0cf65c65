// 16-bit strings: lstrcpyW, lstrlenW and wsprintfW.
#include <cstdarg>
#include <string>

#include "host/os/win32.h"

namespace {

// wsprintfW writes at most 1024 characters, the terminator included.
constexpr size_t kMaxOut = 1024;

struct Out {
    LPWSTR p;
    size_t n = 0;
    void Put(WCHAR c) {
        if (n < kMaxOut - 1) p[n++] = c;
    }
};

struct Conversion {
    bool left = false;
    bool zero = false;
    bool alt = false;
    int width = 0;
    int precision = -1;
};

void PutPadded(Out& out, const std::u16string& body, const Conversion& conv, bool numeric) {
    size_t len = body.size();
    size_t pad = conv.width > 0 && static_cast<size_t>(conv.width) > len ? conv.width - len : 0;
    if (!conv.left && !(conv.zero && numeric))
        for (size_t i = 0; i < pad; ++i)
            out.Put(u' ');
    size_t start = 0;
    if (!conv.left && conv.zero && numeric) {
        // Zeros go after a sign or "0x".
        if (!body.empty() && body[0] == u'-') {
            out.Put(u'-');
            start = 1;
        } else if (body.size() > 1 && body[0] == u'0' && (body[1] == u'x' || body[1] == u'X')) {
            out.Put(body[0]);
            out.Put(body[1]);
            start = 2;
        }
        for (size_t i = 0; i < pad; ++i)
            out.Put(u'0');
    }
    for (size_t i = start; i < len; ++i)
        out.Put(body[i]);
    if (conv.left)
        for (size_t i = 0; i < pad; ++i)
            out.Put(u' ');
}

std::u16string Digits(uint32_t v, unsigned base, bool upper, int precision) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(digits[v % base]));
        v /= base;
    } while (v);
    if (precision == 0 && s == u"0") s.clear();
    while (precision > 0 && s.size() < static_cast<size_t>(precision))
        s.insert(s.begin(), u'0');
    return s;
}

}  // namespace

extern "C" {

LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
    if (!lpString1 || !lpString2) return nullptr;
    LPWSTR d = lpString1;
    while ((*d++ = *lpString2++) != 0) {
    }
    return lpString1;
}

int WINAPI lstrlenW(LPCWSTR lpString) {
    if (!lpString) return 0;
    int n = 0;
    while (lpString[n])
        ++n;
    return n;
}

int WINAPIV wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
    if (!lpOut || !lpFmt) return 0;
    va_list args;
    va_start(args, lpFmt);
    Out out{lpOut};
    for (const WCHAR* f = lpFmt; *f; ++f) {
        if (*f != u'%') {
            out.Put(*f);
            continue;
        }
        const WCHAR* start = f++;
        Conversion conv;
        for (;; ++f) {
            if (*f == u'-')
                conv.left = true;
            else if (*f == u'0')
                conv.zero = true;
            else if (*f == u'#')
                conv.alt = true;
            else
                break;
        }
        while (*f >= u'0' && *f <= u'9')
            conv.width = conv.width * 10 + (*f++ - u'0');
        if (*f == u'.') {
            conv.precision = 0;
            ++f;
            while (*f >= u'0' && *f <= u'9')
                conv.precision = conv.precision * 10 + (*f++ - u'0');
        }
        // 'l' and 'w' mean 16-bit text or 32-bit numbers, as without them;
        // 'h' means 8-bit text.
        bool narrow = false;
        if (*f == u'l' || *f == u'w') {
            ++f;
        } else if (*f == u'h') {
            narrow = true;
            ++f;
        }
        std::u16string body;
        switch (*f) {
            case u'%':
                out.Put(u'%');
                continue;
            case u'c':
                body.push_back(static_cast<WCHAR>(
                    narrow ? static_cast<unsigned char>(va_arg(args, int)) : va_arg(args, int)));
                PutPadded(out, body, conv, false);
                continue;
            case u's': {
                if (narrow) {
                    const char* s = va_arg(args, const char*);
                    if (!s) s = "(null)";
                    for (; *s; ++s)
                        body.push_back(static_cast<unsigned char>(*s));
                } else {
                    const WCHAR* s = va_arg(args, const WCHAR*);
                    body = s ? std::u16string(s) : std::u16string(u"(null)");
                }
                if (conv.precision >= 0 && body.size() > static_cast<size_t>(conv.precision))
                    body.resize(conv.precision);
                PutPadded(out, body, conv, false);
                continue;
            }
            case u'd':
            case u'i': {
                int32_t v = va_arg(args, int32_t);
                uint32_t mag = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
                body = Digits(mag, 10, false, conv.precision);
                if (v < 0) body.insert(body.begin(), u'-');
                break;
            }
            case u'u':
                body = Digits(va_arg(args, uint32_t), 10, false, conv.precision);
                break;
            case u'x':
            case u'X': {
                uint32_t v = va_arg(args, uint32_t);
                body = Digits(v, 16, *f == u'X', conv.precision);
                if (conv.alt && v != 0) body.insert(0, *f == u'X' ? u"0X" : u"0x");
                break;
            }
            default:
                // Unknown or cut-off conversion: copy it as it stands.
                for (const WCHAR* c = start; c <= f && *c; ++c)
                    out.Put(*c);
                if (*f == 0) --f;
                continue;
        }
        if (conv.precision >= 0) conv.zero = false;
        PutPadded(out, body, conv, true);
    }
    va_end(args);
    lpOut[out.n] = 0;
    return static_cast<int>(out.n);
}

}  // extern "C"
