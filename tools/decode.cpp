// Decoding of MIDI messages for display: note names, message descriptions,
// hex, and the monitor's line format.
#include "tools/decode.h"

#include <cstdarg>
#include <cstdio>

#include "sim/hex_text.h"
#include "sim/midi_wire.h"

namespace tools {
namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// Name column, then the details.
std::string Line(const char* name, const std::string& details = "") {
    std::string s = Format("%-16s ", name);
    s += details;
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

std::string Note(unsigned note) {
    return Format("%-4s(%u)", NoteName(note).c_str(), note);
}

}  // namespace

std::string NoteName(unsigned note) {
    static const char* const kNames[12] = {"C",  "C#", "D",  "D#", "E",  "F",
                                           "F#", "G",  "G#", "A",  "A#", "B"};
    return std::string(kNames[note % 12]) + std::to_string(static_cast<int>(note / 12) - 1);
}

std::string HexBytes(const uint8_t* p, size_t n, size_t limit) {
    size_t shown = (limit && n > limit) ? limit : n;
    std::string s = hex::Bytes(p, shown);
    if (shown < n) s += " ... (" + std::to_string(n - shown) + " more)";
    return s;
}

std::vector<uint8_t> UnpackShort(uint32_t packed) {
    uint8_t status = packed & 0xFF;
    unsigned n = midi::MessageLength(status);
    if (n == 0) n = 3;  // not a message start: show what came
    std::vector<uint8_t> v;
    for (unsigned i = 0; i < n; ++i)
        v.push_back(static_cast<uint8_t>(packed >> (8 * i)));
    return v;
}

std::vector<uint8_t> MessageBytes(const InputEvent& e) {
    bool isShort = e.kind == InputEvent::Data || e.kind == InputEvent::Error;
    return isShort ? UnpackShort(e.msg) : e.bytes;
}

std::string DescribeShort(uint32_t packed) {
    unsigned st = packed & 0xFF, d1 = (packed >> 8) & 0x7F, d2 = (packed >> 16) & 0x7F;
    unsigned ch = (st & 0x0F) + 1;
    switch (st & 0xF0) {
        case 0x80:
            return Line("Note off", Format("ch %-3u ", ch) + Note(d1) + Format(" velocity %u", d2));
        case 0x90:
            return Line("Note on", Format("ch %-3u ", ch) + Note(d1) + Format(" velocity %u", d2));
        case 0xA0:
            return Line("Poly pressure",
                        Format("ch %-3u ", ch) + Note(d1) + Format(" value %u", d2));
        case 0xB0:
            return Line("Control change", Format("ch %-3u controller %u value %u", ch, d1, d2));
        case 0xC0:
            return Line("Program change", Format("ch %-3u program %u", ch, d1));
        case 0xD0:
            return Line("Channel pressure", Format("ch %-3u value %u", ch, d1));
        case 0xE0: {
            int bend = static_cast<int>((d2 << 7) | d1) - 8192;
            return Line("Pitch bend", Format("ch %-3u value %d", ch, bend));
        }
        default:
            break;
    }
    switch (st) {
        case 0xF1:
            return Line("MTC quarter frame", Format("type %u value %u", d1 >> 4, d1 & 0x0F));
        case 0xF2:
            return Line("Song position", Format("beat %u", (d2 << 7) | d1));
        case 0xF3:
            return Line("Song select", Format("song %u", d1));
        case 0xF6:
            return Line("Tune request");
        case 0xF8:
            return Line("Clock");
        case 0xFA:
            return Line("Start");
        case 0xFB:
            return Line("Continue");
        case 0xFC:
            return Line("Stop");
        case 0xFE:
            return Line("Active sensing");
        case 0xFF:
            return Line("System reset");
        default:
            break;
    }
    std::vector<uint8_t> v = UnpackShort(packed);
    return Line(st < 0x80 ? "Data" : "Undefined", HexBytes(v.data(), v.size()));
}

std::string DescribeSysex(const std::vector<uint8_t>& bytes) {
    return Line("SysEx", std::to_string(bytes.size()) + " bytes  " +
                             HexBytes(bytes.data(), bytes.size(), 32));
}

std::string FormatEvent(const InputEvent& e, bool raw) {
    std::string s = Format("%8lu  ", static_cast<unsigned long>(e.time));
    switch (e.kind) {
        case InputEvent::Data: {
            std::vector<uint8_t> v = UnpackShort(e.msg);
            return s + (raw ? HexBytes(v.data(), v.size()) : DescribeShort(e.msg));
        }
        case InputEvent::Sysex:
            return s + (raw ? HexBytes(e.bytes.data(), e.bytes.size()) : DescribeSysex(e.bytes));
        case InputEvent::Error: {
            std::vector<uint8_t> v = UnpackShort(e.msg);
            return s + Line("Error", "invalid message " + HexBytes(v.data(), v.size()));
        }
        case InputEvent::SysexError:
            return s + Line("Error", "incomplete sysex, " + std::to_string(e.bytes.size()) +
                                         " bytes  " +
                                         HexBytes(e.bytes.data(), e.bytes.size(), raw ? 0 : 32));
    }
    return s;
}

bool SysexAssembler::Add(const uint8_t* p, size_t n, std::vector<uint8_t>* complete) {
    pending_.insert(pending_.end(), p, p + n);
    if (pending_.empty() || pending_.back() != 0xF7) return false;
    *complete = std::move(pending_);
    pending_.clear();
    return true;
}

bool SysexAssembler::Join(InputEvent* e) {
    if (e->kind == InputEvent::Sysex) {
        if (pending_.empty()) firstTime_ = e->time;
        uint32_t first = firstTime_;
        std::vector<uint8_t> whole;
        if (!Add(e->bytes.data(), e->bytes.size(), &whole)) return false;
        e->bytes = std::move(whole);
        e->time = first;
    } else if (e->kind == InputEvent::SysexError) {
        std::vector<uint8_t> part = TakePartial();
        part.insert(part.end(), e->bytes.begin(), e->bytes.end());
        e->bytes = std::move(part);
    }
    return true;
}

std::vector<uint8_t> SysexAssembler::TakePartial() {
    std::vector<uint8_t> v = std::move(pending_);
    pending_.clear();
    return v;
}

}  // namespace tools
