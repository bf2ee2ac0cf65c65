// Parsing of the command line's MIDI bytes, sizes and counts.
#include "tools/args.h"

#include <cctype>
#include <cstdlib>

#include "sim/hex_text.h"
#include "sim/midi_wire.h"

namespace tools {
namespace {

std::string ByteText(uint8_t b) {
    return hex::Bytes(&b, 1);
}

}  // namespace

uint32_t MidiMessage::Packed() const {
    uint32_t dw = 0;
    for (size_t i = 0; i < bytes.size() && i < 3; ++i)
        dw |= uint32_t(bytes[i]) << (8 * i);
    return dw;
}

bool ParseHexBytes(const std::vector<std::string>& args, std::vector<uint8_t>* out,
                   std::string* error) {
    out->clear();
    for (const std::string& arg : args) {
        // One argument may hold several bytes: "90 3C 40" quoted, or "903C40".
        std::string word;
        if (!hex::ParseBytes(arg, out, &word)) {
            *error = "not hex bytes: '" + word + "'";
            return false;
        }
    }
    if (out->empty()) {
        *error = "no bytes to send";
        return false;
    }
    return true;
}

bool SplitMessages(const std::vector<uint8_t>& bytes, std::vector<MidiMessage>* out,
                   std::string* error) {
    out->clear();
    uint8_t running = 0;  // channel status in force, 0 none
    MidiMessage current;  // being gathered
    size_t need = 0;      // bytes current still lacks (short messages)
    bool inSysex = false;
    auto where = [](size_t i) { return " at byte " + std::to_string(i + 1); };
    for (size_t i = 0; i < bytes.size(); ++i) {
        uint8_t b = bytes[i];
        if (b >= 0xF8) {  // real-time: goes at once, disturbs nothing
            if (inSysex) {
                current.bytes.push_back(b);  // the driver passes it along inside the run
            } else {
                out->push_back(MidiMessage{{b}});
            }
            continue;
        }
        if (inSysex) {
            current.bytes.push_back(b);
            if (b == 0xF7) {
                out->push_back(std::move(current));
                current = MidiMessage{};
                inSysex = false;
            } else if (b >= 0x80) {
                *error = "status byte " + ByteText(b) + where(i) + " inside a sysex";
                return false;
            }
            continue;
        }
        if (b >= 0x80) {
            if (need != 0) {
                *error = "message " + hex::Bytes(current.bytes.data(), current.bytes.size()) +
                         " cut short by " + ByteText(b) + where(i);
                return false;
            }
            if (b == 0xF7) {
                *error = "F7" + where(i) + " ends no sysex";
                return false;
            }
            current = MidiMessage{{b}};
            if (b == 0xF0) {
                inSysex = true;
                running = 0;
                continue;
            }
            running = b < 0xF0 ? b : 0;  // system common messages end running status
            need = midi::MessageLength(b) - 1;
        } else {
            if (need == 0) {
                if (!running) {
                    *error = "data byte " + ByteText(b) + where(i) + " has no status before it";
                    return false;
                }
                current = MidiMessage{{running}};
                need = midi::MessageLength(running) - 1;
            }
            current.bytes.push_back(b);
            --need;
        }
        if (need == 0) {
            out->push_back(std::move(current));
            current = MidiMessage{};
        }
    }
    if (inSysex) {
        *error = "sysex of " + std::to_string(current.bytes.size()) + " bytes has no F7";
        return false;
    }
    if (need != 0) {
        *error = "message " + hex::Bytes(current.bytes.data(), current.bytes.size()) +
                 " is incomplete at the end";
        return false;
    }
    return true;
}

bool ParseSize(const std::string& text, size_t* out) {
    size_t i = 0;
    unsigned long long v = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        v = v * 10 + static_cast<unsigned>(text[i] - '0');
        if (v > (1ull << 32)) return false;
        ++i;
    }
    if (i == 0) return false;
    std::string unit = text.substr(i);
    for (char& c : unit)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (unit == "k" || unit == "kib" || unit == "kb") {
        v *= 1024;
    } else if (unit == "m" || unit == "mib" || unit == "mb") {
        v *= 1024 * 1024;
    } else if (!unit.empty()) {
        return false;
    }
    if (v == 0 || v > (1ull << 32)) return false;
    *out = static_cast<size_t>(v);
    return true;
}

bool ParseCount(const std::string& text, unsigned* out) {
    if (text.empty() || text.size() > 9) return false;
    unsigned v = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v == 0) return false;
    *out = v;
    return true;
}

bool ParseDecimal(const std::string& text, double* out) {
    size_t digits = 0, dots = 0;
    for (char c : text) {
        if (c == '.') {
            ++dots;
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            ++digits;
        } else {
            return false;
        }
    }
    if (digits == 0 || dots > 1 || text.size() > 12) return false;
    *out = std::strtod(text.c_str(), nullptr);
    return true;
}

bool ParseSeconds(const std::string& text, double* out) {
    double v = 0;
    if (!ParseDecimal(text, &v) || v <= 0 || v > 86400) return false;
    *out = v;
    return true;
}

}  // namespace tools
