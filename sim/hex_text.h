// Bytes and numbers written in hex, as the simulator's control commands, the
// veltrane command and the tests read and write them: "90 3C 40".
//
// Header only, plain C++: the veltrane command includes it on Windows too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace hex {

// 0 to 15, or -1 for a character that is no hex digit.
constexpr int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "903C40": one byte for each pair of digits, appended to *out. False for an
// empty word, an odd number of digits or anything else in it.
inline bool AppendPairs(std::string_view digits, std::vector<uint8_t>* out) {
    if (digits.empty() || digits.size() % 2 != 0) return false;
    for (char c : digits)
        if (DigitValue(c) < 0) return false;
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back(
            static_cast<uint8_t>(DigitValue(digits[i]) * 16 + DigitValue(digits[i + 1])));
    return true;
}

// "90 3C 40", "903C40", "0x90,0x3c 40": words split by spaces, tabs or commas,
// each pairs of digits with or without 0x. Appends the bytes to *out; at the
// first word that is not so answers false and names it in *bad.
inline bool ParseBytes(std::string_view text, std::vector<uint8_t>* out, std::string* bad) {
    const char kSeparators[] = " ,\t";
    for (size_t i = text.find_first_not_of(kSeparators); i != std::string_view::npos;) {
        size_t end = text.find_first_of(kSeparators, i);
        std::string_view word = text.substr(i, end == std::string_view::npos ? end : end - i);
        std::string_view digits = word;
        if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
            digits.remove_prefix(2);
        if (!AppendPairs(digits, out)) {
            if (bad) *bad = std::string(word);
            return false;
        }
        i = end == std::string_view::npos ? end : text.find_first_not_of(kSeparators, end);
    }
    return true;
}

// One number of 1 to maxDigits digits, with or without 0x.
inline bool ParseNumber(std::string_view text, size_t maxDigits, uint32_t* value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty() || text.size() > maxDigits) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (DigitValue(c) < 0) return false;
        v = v * 16 + static_cast<uint32_t>(DigitValue(c));
    }
    *value = v;
    return true;
}

// "90 3C 40": two upper-case digits a byte, one space between them.
inline std::string Bytes(const uint8_t* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

}  // namespace hex
