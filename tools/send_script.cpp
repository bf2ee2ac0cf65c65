// The words of a send script: named messages, note names, raw bytes, sysex
// files and pauses.
#include "tools/send_script.h"

#include <cctype>

namespace tools {
namespace {

const char* const kKeywords[] = {"ch", "on", "off", "cc", "pc", "pb", "at", "pp", "raw", "syx"};

bool IsKeyword(const std::string& word) {
    for (const char* k : kKeywords)
        if (word == k) return true;
    return false;
}

// A decimal number from 0 to most.
bool ParseDecimal(const std::string& text, unsigned most, unsigned* value) {
    if (text.empty() || text.size() > 9) return false;
    unsigned v = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > most) return false;
    *value = v;
    return true;
}

// "+250": a pause of up to an hour.
bool ParseWait(const std::string& word, unsigned* ms) {
    return word.size() > 1 && word[0] == '+' && ParseDecimal(word.substr(1), 3600000, ms);
}

}  // namespace

bool ParseNote(const std::string& text, unsigned* note) {
    if (text.empty()) return false;
    if (std::isdigit(static_cast<unsigned char>(text[0]))) return ParseDecimal(text, 127, note);
    static const int kSteps[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (letter < 'A' || letter > 'G') return false;
    int pitch = kSteps[letter - 'A'];
    size_t i = 1;
    if (i < text.size() && (text[i] == '#' || text[i] == 'b')) {
        pitch += text[i] == '#' ? 1 : -1;
        ++i;
    }
    bool negative = i < text.size() && text[i] == '-';
    if (negative) ++i;
    unsigned octave = 0;
    if (i >= text.size() || !ParseDecimal(text.substr(i), 9, &octave)) return false;
    int value = (negative ? -int(octave) : int(octave)) * 12 + 12 + pitch;  // C4 is 60
    if (value < 0 || value > 127) return false;
    *note = static_cast<unsigned>(value);
    return true;
}

bool IsScriptWord(const std::string& word) {
    unsigned ms = 0;
    return IsKeyword(word) || ParseWait(word, &ms);
}

std::string ScriptWordNames() {
    std::string names;
    for (const char* k : kKeywords)
        names += std::string(k) + ", ";
    names.resize(names.size() - 2);
    return names + " or +MS";
}

std::vector<std::string> ScriptWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
        if (c == '#' && word.empty()) break;  // not inside a word: F#3 is a note
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

bool ScriptParser::Parse(const std::vector<std::string>& words, std::vector<ScriptStep>* out,
                         std::string* error) {
    size_t i = 0;
    // The arguments of words[at]: count more words, each checked by its reader.
    auto args = [&](size_t count, const char* what) {
        if (i + count < words.size()) {
            bool keyword = false;
            for (size_t k = 1; k <= count; ++k)
                keyword = keyword || IsScriptWord(words[i + k]);
            if (!keyword) return true;
        }
        *error = "'" + words[i] + "' needs " + what;
        return false;
    };
    auto number = [&](size_t k, unsigned most, const char* what, unsigned* v) {
        if (ParseDecimal(words[i + k], most, v)) return true;
        *error = std::string(what) + " '" + words[i + k] + "' after '" + words[i] +
                 "' is not a number from 0 to " + std::to_string(most);
        return false;
    };
    auto note = [&](size_t k, unsigned* v) {
        if (ParseNote(words[i + k], v)) return true;
        *error = "'" + words[i + k] + "' after '" + words[i] +
                 "' is no note (0 to 127, or a name such as C4, F#3, Bb2)";
        return false;
    };
    auto send = [&](std::vector<uint8_t> bytes) {
        ScriptStep s;
        s.message.bytes = std::move(bytes);
        out->push_back(std::move(s));
    };
    while (i < words.size()) {
        const std::string& w = words[i];
        uint8_t ch = static_cast<uint8_t>(channel_);
        unsigned a = 0, b = 0, ms = 0;
        if (ParseWait(w, &ms)) {
            ScriptStep s;
            s.waitMs = ms;
            out->push_back(s);
            i += 1;
        } else if (w == "ch") {
            if (!args(1, "a channel from 1 to 16")) return false;
            if (!ParseDecimal(words[i + 1], 16, &a) || a == 0) {
                *error = "channel '" + words[i + 1] + "' is not from 1 to 16";
                return false;
            }
            channel_ = a - 1;
            i += 2;
        } else if (w == "on" || w == "off" || w == "pp") {
            if (!args(2, w == "pp" ? "a note and a value" : "a note and a velocity") ||
                !note(1, &a) || !number(2, 127, w == "pp" ? "value" : "velocity", &b))
                return false;
            uint8_t status = w == "on" ? 0x90 : w == "off" ? 0x80 : 0xA0;
            send({uint8_t(status | ch), uint8_t(a), uint8_t(b)});
            i += 3;
        } else if (w == "cc") {
            if (!args(2, "a controller and a value") || !number(1, 127, "controller", &a) ||
                !number(2, 127, "value", &b))
                return false;
            send({uint8_t(0xB0 | ch), uint8_t(a), uint8_t(b)});
            i += 3;
        } else if (w == "pc" || w == "at") {
            if (!args(1, w == "pc" ? "a program" : "a value") ||
                !number(1, 127, w == "pc" ? "program" : "value", &a))
                return false;
            send({uint8_t((w == "pc" ? 0xC0 : 0xD0) | ch), uint8_t(a)});
            i += 2;
        } else if (w == "pb") {
            if (!args(1, "a value from 0 to 16383 (8192 is the middle)") ||
                !number(1, 16383, "value", &a))
                return false;
            send({uint8_t(0xE0 | ch), uint8_t(a & 0x7F), uint8_t(a >> 7)});
            i += 2;
        } else if (w == "raw" || w == "syx") {
            std::vector<uint8_t> bytes;
            if (w == "syx") {
                if (!args(1, "a file")) return false;
                if (!readFile_(words[i + 1], &bytes, error)) return false;
                i += 2;
            } else {
                std::vector<std::string> hexWords;
                for (++i; i < words.size() && !IsScriptWord(words[i]); ++i)
                    hexWords.push_back(words[i]);
                if (!ParseHexBytes(hexWords, &bytes, error)) {
                    *error = "raw: " + *error;
                    return false;
                }
            }
            std::vector<MidiMessage> messages;
            if (!SplitMessages(bytes, &messages, error)) {
                *error = w + ": " + *error;
                return false;
            }
            for (MidiMessage& m : messages)
                send(std::move(m.bytes));
        } else {
            *error = "unknown word '" + w + "' (ch, on, off, cc, pc, pb, at, pp, raw, syx, +MS)";
            return false;
        }
    }
    return true;
}

}  // namespace tools
