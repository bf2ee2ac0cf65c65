// MIDI for display (decode.cpp): note names, message descriptions, hex, the
// monitor's line format, and system exclusive joined across input buffers.
// Plain text, no winmm: tested directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/input_event.h"

namespace tools {

// 60 -> "C4", 54 -> "F#3", 0 -> "C-1".
std::string NoteName(unsigned note);
// "90 3C 40"; at most limit bytes, then " ... (N more)". limit 0: all.
std::string HexBytes(const uint8_t* p, size_t n, size_t limit = 0);
// The bytes of a packed short message, as many as its status says.
std::vector<uint8_t> UnpackShort(uint32_t packed);
// The bytes of an input event: its short message or its sysex bytes.
std::vector<uint8_t> MessageBytes(const InputEvent& e);
// "Note on          ch 1   C4 (60)   velocity 64" and so on.
std::string DescribeShort(uint32_t packed);
// "SysEx            1024 bytes  F0 7D ..." (the first 32 bytes shown).
std::string DescribeSysex(const std::vector<uint8_t>& bytes);
// One received event in the monitor's format, without newline: the time in
// ms, then the decoded message (or its hex bytes when raw). A Sysex event
// holds a whole message here.
std::string FormatEvent(const InputEvent& e, bool raw);

// Joins the buffers of system-exclusive input into whole messages: a message
// may span several buffers and ends with F7.
class SysexAssembler {
  public:
    // Appends a returned buffer; answers true and moves the message into
    // *complete when the buffer ended one.
    bool Add(const uint8_t* p, size_t n, std::vector<uint8_t>* complete);
    // What was gathered of an unfinished message (then forgotten).
    std::vector<uint8_t> TakePartial();
    bool Pending() const { return !pending_.empty(); }
    // Makes an input event whole: answers false for a Sysex event whose
    // message goes on in later buffers; a Sysex event that ends one gets
    // the whole message and the time of its first buffer, a SysexError event
    // what came before it. Other events pass as they are.
    bool Join(InputEvent* e);

  private:
    std::vector<uint8_t> pending_;
    uint32_t firstTime_ = 0;  // of the first buffer of pending_
};

}  // namespace tools
