// Message kinds and the filter of the receiving subcommands.
#include "tools/filter.h"

namespace tools {
namespace {

struct KindWord {
    const char* name;
    uint32_t kinds;
};

// One entry a kind bit first, in bit order, then the groups.
const KindWord kKindWords[] = {
    {"note", kNote},
    {"pp", kPoly},
    {"cc", kControl},
    {"pc", kProgram},
    {"at", kPressure},
    {"pb", kBend},
    {"sysex", kSysex},
    {"common", kCommon},
    {"clock", kClock},
    {"transport", kTransport},
    {"sensing", kSensing},
    {"reset", kReset},
    {"realtime", kClock | kTransport | kSensing | kReset},
    {"channel", kChannelKinds},
    {"all", kAllKinds},
};

}  // namespace

uint32_t KindOf(uint8_t status) {
    if (status < 0x80) return 0;
    if (status < 0xF0) {
        static const uint32_t kByHighNibble[] = {kNote,    kNote,     kPoly, kControl,
                                                 kProgram, kPressure, kBend};
        return kByHighNibble[(status >> 4) - 8];
    }
    switch (status) {
        case 0xF0:
            return kSysex;
        case 0xF8:
            return kClock;
        case 0xFA:
        case 0xFB:
        case 0xFC:
            return kTransport;
        case 0xFE:
            return kSensing;
        case 0xF9:
        case 0xFD:
        case 0xFF:
            return kReset;
        default:  // F1 to F7
            return kCommon;
    }
}

const char* KindName(uint32_t kind) {
    for (const KindWord& k : kKindWords)
        if (k.kinds == kind) return k.name;
    return "?";
}

bool MessageFilter::Passes(uint8_t status) const {
    uint32_t kind = KindOf(status);
    if (!(kinds & kind)) return false;
    if (channel == 0) return true;
    return (kind & kChannelKinds) && (status & 0x0F) + 1u == channel;
}

bool ParseKinds(const std::string& list, uint32_t* kinds, std::string* error) {
    *kinds = 0;
    size_t at = 0;
    for (;;) {
        size_t comma = list.find(',', at);
        std::string word = list.substr(at, comma == std::string::npos ? comma : comma - at);
        bool known = false;
        for (const KindWord& k : kKindWords) {
            if (word == k.name) {
                *kinds |= k.kinds;
                known = true;
            }
        }
        if (!known) {
            *error = "unknown message type '" + word + "' (one of";
            for (const KindWord& k : kKindWords)
                *error += std::string(" ") + k.name;
            *error += ")";
            return false;
        }
        if (comma == std::string::npos) return true;
        at = comma + 1;
    }
}

}  // namespace tools
