// Standard MIDI Files (smf.cpp): reading types 0 and 1 into one list of
// messages at their times, and writing a type-0 file of recorded messages.
// Plain bytes, no winmm: tested directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// One message at its time from the start: a short message (status first),
// or bytes that go out as long data: an F0 event as F0 and its bytes, an F7
// event as its bytes alone (the rest of a divided sysex, or anything else
// the file wants sent as it is).
struct TimedMessage {
    int64_t us = 0;
    std::vector<uint8_t> bytes;
    // True when bytes are one whole short message (midiOutShortMsg).
    bool IsShort() const;
};

// A meter from its tick on: numerator / 2^denominatorPower.
struct Meter {
    uint64_t tick = 0;
    unsigned numerator = 4, denominatorPower = 2;
};

struct Song {
    unsigned format = 0, tracks = 0;
    unsigned ticksPerQuarter = 0;        // 0 when the file counts SMPTE frames
    std::vector<TimedMessage> messages;  // every track merged, by time
    std::vector<uint64_t> ticks;         // the tick of each message
    int64_t lengthUs = 0;                // up to the last event, meta events included
    uint64_t lengthTicks = 0;
    std::vector<Meter> meters;  // from the time signatures; empty means 4/4
    // The bar (from 1) that tick falls in; 0 without a tempo-based division.
    unsigned BarAt(uint64_t tick) const;
};

// A file starts as a Standard MIDI File does ("MThd").
bool LooksLikeSmf(const std::vector<uint8_t>& file);
// Parses a type-0 or type-1 file. Meta events are not messages (tempo and
// time signature are read); running status is followed inside each track.
// On failure *error says which chunk or byte is wrong, counting bytes of the
// file from 0.
bool ReadSmf(const std::vector<uint8_t>& file, Song* song, std::string* error);

// A type-0 file of messages in time order: one tempo (usPerQuarter) at tick
// 0, channel messages with running status, F0 ... F7 as sysex events, any
// other message as an F7 event holding its bytes.
std::vector<uint8_t> WriteSmf0(const std::vector<TimedMessage>& messages, unsigned ticksPerQuarter,
                               uint32_t usPerQuarter);

}  // namespace tools
