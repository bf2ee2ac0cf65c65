// The loop test of `veltrane loop` and `veltrane demo` (loop.cpp).
#pragma once

#include <cstddef>
#include <string>

#include "tools/port_match.h"

namespace tools {

struct LoopOptions {
    PortInfo out, in;
    unsigned count = 1000;  // short messages; 0 with sysex for none
    size_t sysex = 0;       // bytes of the one sysex, 0 for none
    bool json = false;      // the report as one JSON object
};
// Runs the loop test and prints its report. Answers the exit status: 0 when
// nothing was lost, corrupted or reordered, 1 otherwise (also when nothing
// came back for kLoopQuietMs, which ends the whole test), 130 after Ctrl-C.
int RunLoop(const LoopOptions& options);
constexpr int kLoopQuietMs = 2000;

}  // namespace tools
