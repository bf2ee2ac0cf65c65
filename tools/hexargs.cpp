// Parsing of the command line's MIDI bytes, sizes and counts.
#include <cctype>
#include <cstdio>

#include "tools/toolkit.h"

namespace tools {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string ByteText(uint8_t b) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", b);
    return buf;
}

}  // namespace

DWORD MidiMessage::Packed() const {
    DWORD dw = 0;
    for (size_t i = 0; i < bytes.size() && i < 3; ++i)
        dw |= DWORD(bytes[i]) << (8 * i);
    return dw;
}

bool ParseHexBytes(const std::vector<std::string>& args, std::vector<uint8_t>* out,
                   std::string* error) {
    out->clear();
    for (const std::string& arg : args) {
        // One argument may hold several bytes: "90 3C 40" quoted, or "903C40".
        size_t i = 0;
        while (i < arg.size()) {
            while (i < arg.size() && (arg[i] == ' ' || arg[i] == ',' || arg[i] == '\t'))
                ++i;
            if (i >= arg.size()) break;
            size_t start = i;
            if (arg.compare(i, 2, "0x") == 0 || arg.compare(i, 2, "0X") == 0) i += 2;
            size_t digits = i;
            while (i < arg.size() && HexDigit(arg[i]) >= 0)
                ++i;
            size_t n = i - digits;
            bool endsCleanly = i == arg.size() || arg[i] == ' ' || arg[i] == ',' || arg[i] == '\t';
            if (n == 0 || n % 2 != 0 || !endsCleanly) {
                size_t end = arg.find_first_of(" ,\t", start);
                *error = "not hex bytes: '" + arg.substr(start, end - start) + "'";
                return false;
            }
            for (size_t k = digits; k < i; k += 2)
                out->push_back(static_cast<uint8_t>(HexDigit(arg[k]) * 16 + HexDigit(arg[k + 1])));
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
                *error = "message " + HexBytes(current.bytes.data(), current.bytes.size()) +
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
            need = MessageLength(b) - 1;
        } else {
            if (need == 0) {
                if (!running) {
                    *error = "data byte " + ByteText(b) + where(i) + " has no status before it";
                    return false;
                }
                current = MidiMessage{{running}};
                need = MessageLength(running) - 1;
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
        *error = "message " + HexBytes(current.bytes.data(), current.bytes.size()) +
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

}  // namespace tools
