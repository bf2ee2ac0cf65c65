// The MIDI cable itself: how long a byte takes on it and how many bytes a
// message takes. The simulated interfaces pace and cut their streams by these
// rules, and the veltrane command splits and shows messages by them.
//
// Header only, plain C++: the veltrane command includes it on Windows too.
#pragma once

#include <cstdint>

namespace midi {

// 31250 baud, ten bits a byte (start bit, eight data bits, stop bit).
constexpr int64_t kByteTimeUs = 320;

// Bytes of the message a status byte starts, status included: 1 to 3. 0 for a
// data byte, and for F0 and F7, whose messages have no fixed length (system
// exclusive runs from F0 to F7).
constexpr unsigned MessageLength(uint8_t status) {
    if (status < 0x80) return 0;
    if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 2 : 3;  // Cn, Dn: one data byte
    switch (status) {
        case 0xF0:
        case 0xF7:
            return 0;
        case 0xF1:
        case 0xF3:
            return 2;
        case 0xF2:
            return 3;
        default:  // F4, F5, F6 and the real-time bytes: alone
            return 1;
    }
}

}  // namespace midi
