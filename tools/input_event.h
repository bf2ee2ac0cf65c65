// One event of an open input port, as its callback saw it: what the input
// port (input_port.h) records and the monitor's format (decode.h) prints.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace tools {

struct InputEvent {
    enum Kind { Data, Sysex, Error, SysexError } kind = Data;
    uint32_t msg = 0;            // Data, Error: the packed bytes
    uint32_t time = 0;           // ms since midiInStart
    std::vector<uint8_t> bytes;  // Sysex, SysexError: the buffer's bytes
    std::chrono::steady_clock::time_point arrival;
    // Something the driver reported wrong: MIM_ERROR or MIM_LONGERROR.
    bool IsError() const { return kind == Error || kind == SysexError; }
};

}  // namespace tools
