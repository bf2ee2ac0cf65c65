// Which received messages `monitor`, `record` and `receive` keep
// (filter.cpp): by kind and by channel. Clock and active sensing, which
// arrive many times a second, are left out unless asked for. Plain text, no
// winmm: tested directly.
#pragma once

#include <cstdint>
#include <string>

namespace tools {

// The kinds of message, by their status byte; the names are those of --type.
enum MessageKind : uint32_t {
    kNote = 1u << 0,       // note      8n, 9n
    kPoly = 1u << 1,       // pp        An
    kControl = 1u << 2,    // cc        Bn
    kProgram = 1u << 3,    // pc        Cn
    kPressure = 1u << 4,   // at        Dn
    kBend = 1u << 5,       // pb        En
    kSysex = 1u << 6,      // sysex     F0 ... F7
    kCommon = 1u << 7,     // common    F1, F2, F3, F6 and the undefined F4, F5
    kClock = 1u << 8,      // clock     F8
    kTransport = 1u << 9,  // transport FA, FB, FC
    kSensing = 1u << 10,   // sensing   FE
    kReset = 1u << 11,     // reset     FF, and the undefined F9, FD
    kAllKinds = (1u << 12) - 1,
    kChannelKinds = kNote | kPoly | kControl | kProgram | kPressure | kBend,
};
constexpr uint32_t kDefaultKinds = kAllKinds & ~(kClock | kSensing);

// The kind of the message a status byte starts; 0 for a data byte.
uint32_t KindOf(uint8_t status);
// "clock", "sensing", ... for one kind bit.
const char* KindName(uint32_t kind);

struct MessageFilter {
    uint32_t kinds = kDefaultKinds;
    unsigned channel = 0;  // 1 to 16: only channel messages of that channel; 0 any
    bool Passes(uint8_t status) const;
};

// "note,cc,sysex" -> kind bits; also "realtime" for clock, transport,
// sensing and reset, "channel" for every channel message, "all".
bool ParseKinds(const std::string& list, uint32_t* kinds, std::string* error);

}  // namespace tools
