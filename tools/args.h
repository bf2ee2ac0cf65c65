// The command line's MIDI bytes, sizes and counts (args.cpp). Plain text, no
// winmm: tested directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// One MIDI message as it goes out: a short message of 1 to 3 bytes, status
// first, or a whole system-exclusive message F0 ... F7.
struct MidiMessage {
    std::vector<uint8_t> bytes;
    bool IsSysex() const { return !bytes.empty() && bytes[0] == 0xF0; }
    // First byte in bits 0-7, as midiOutShortMsg takes it.
    uint32_t Packed() const;
};

// "90 3C 40", "903C40" or "0x90 0x3c 0x40" (one or more arguments) -> bytes.
bool ParseHexBytes(const std::vector<std::string>& args, std::vector<uint8_t>* out,
                   std::string* error);
// Cuts bytes into messages: channel messages by their length, data bytes
// after them by running status (the status is written out again), system
// common messages, real-time bytes (also in the middle of another message,
// sent before it) and F0 ... F7 runs. Errors name the offending byte.
bool SplitMessages(const std::vector<uint8_t>& bytes, std::vector<MidiMessage>* out,
                   std::string* error);
// "1024", "1k", "64K", "64KiB", "1M" -> bytes; false for anything else or 0.
bool ParseSize(const std::string& text, size_t* out);
// A decimal count greater than 0.
bool ParseCount(const std::string& text, unsigned* out);
// "4", "2.5", "0.25": a decimal number, no sign or exponent.
bool ParseDecimal(const std::string& text, double* out);
// "2", "0.5": seconds, more than 0 and at most a day.
bool ParseSeconds(const std::string& text, double* out);

}  // namespace tools
