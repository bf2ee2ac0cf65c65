// The named messages and pauses of `veltrane send` (send_script.cpp), in the
// style of sendmidi: "ch 2 on C4 100 +250 off C4 0 cc 7 100 raw F0 7D 01 F7".
// Plain text, no winmm: tested directly.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/args.h"

namespace tools {

// One thing to do: wait waitMs, or send message.
struct ScriptStep {
    unsigned waitMs = 0;
    MidiMessage message;  // empty for a wait
};

// 60, "C4" (middle C), "F#3", "Bb2", "C-1" -> 0 to 127.
bool ParseNote(const std::string& text, unsigned* note);
// A word that only a script has: a keyword (lower case) or "+MS". Arguments
// that start with one are a script, anything else is hex bytes.
bool IsScriptWord(const std::string& word);
// The words a script starts with, for messages: "ch, on, ... or +MS".
std::string ScriptWordNames();
// A line cut into words at spaces and tabs, up to a word that starts with '#'
// (a comment).
std::vector<std::string> ScriptWords(const std::string& line);

// Reads the words of a script, line by line or all at once: the channel set
// by "ch" holds for what follows, across lines. "syx FILE" reads FILE through
// readFile, which answers its bytes or false with the reason.
class ScriptParser {
  public:
    using FileReader = std::function<bool(const std::string& path, std::vector<uint8_t>* bytes,
                                          std::string* error)>;
    explicit ScriptParser(FileReader readFile) : readFile_(std::move(readFile)) {}
    // Appends the steps of words; false with the offending word in *error.
    bool Parse(const std::vector<std::string>& words, std::vector<ScriptStep>* out,
               std::string* error);

  private:
    FileReader readFile_;
    unsigned channel_ = 0;  // 0 to 15
};

}  // namespace tools
