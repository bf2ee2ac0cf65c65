// Reading and writing Unicode text one character at a time: UTF-8, and wide
// units of 16 bits (the driver's names) or 32 bits (the client's WCHAR).
// Used by the text conversions and the capability records of the layer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vtmm {
namespace utf {

constexpr char32_t kReplacement = 0xFFFD;

// One character read: its code point, how many units it took (at least 1),
// and whether they were valid text (else the code point is kReplacement).
struct Char {
    char32_t c;
    size_t cUnits;
    bool fValid;
};

inline bool IsScalar(char32_t c) {
    return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF);
}

// The character at p (n > 0 bytes left). An invalid sequence is consumed up
// to its longest valid beginning, at least one byte, as Unicode recommends.
inline Char ReadUtf8(const unsigned char* p, size_t n) {
    unsigned char b = p[0];
    if (b < 0x80) return {b, 1, true};
    size_t need;
    char32_t c;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        c = b & 0x0F;
        if (b == 0xE0) lo = 0xA0;  // no overlong forms
        if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        c = b & 0x07;
        if (b == 0xF0) lo = 0x90;  // no overlong forms
        if (b == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        return {kReplacement, 1, false};
    }
    for (size_t i = 1; i <= need; ++i) {
        bool fits = i < n && p[i] >= (i == 1 ? lo : 0x80) && p[i] <= (i == 1 ? hi : 0xBF);
        if (!fits) return {kReplacement, i, false};
        c = (c << 6) | (p[i] & 0x3F);
    }
    return {c, need + 1, true};
}

// Bytes c takes in UTF-8 (c a scalar value).
inline size_t Utf8Length(char32_t c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Writes c (a scalar value) as UTF-8 at out, which has room for it.
inline void WriteUtf8(char32_t c, char* out) {
    size_t n = Utf8Length(c);
    if (n == 1) {
        out[0] = static_cast<char>(c);
        return;
    }
    static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (size_t i = n - 1; i > 0; --i) {
        out[i] = static_cast<char>(0x80 | (c & 0x3F));
        c >>= 6;
    }
    out[0] = static_cast<char>(kLead[n] | c);
}

// The character at p (n > 0 units left) of 16-bit or 32-bit units: a UTF-16
// surrogate pair makes one character; a lone surrogate, or a 32-bit unit
// that is no scalar value, is invalid.
template <typename Unit>
Char ReadWide(const Unit* p, size_t n) {
    char32_t c = static_cast<char32_t>(p[0]);
    if (c >= 0xD800 && c <= 0xDBFF && n > 1) {
        char32_t low = static_cast<char32_t>(p[1]);
        if (low >= 0xDC00 && low <= 0xDFFF)
            return {0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00), 2, true};
    }
    if (!IsScalar(c)) return {kReplacement, 1, false};
    return {c, 1, true};
}

}  // namespace utf
}  // namespace vtmm
