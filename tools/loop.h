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
    // Short messages paced this many ms apart, plus a random phase of up to
    // kLoopPhaseMs, so that each finds the cable idle and arrives anywhere
    // between two polls of the input; 0: as many under way as the window
    // allows.
    double intervalMs = 0;
};
constexpr double kLoopPhaseMs = 1;  // one poll period of the driver's input
constexpr double kLoopMinIntervalMs = 0.1;
constexpr double kLoopMaxIntervalMs = 1000;
// Runs the loop test and prints its report. Answers the exit status: 0 when
// nothing was lost, corrupted or reordered, 1 otherwise (also when nothing
// came back for kLoopQuietMs, which ends the whole test), 130 after Ctrl-C.
int RunLoop(const LoopOptions& options);
constexpr int kLoopQuietMs = 2000;

}  // namespace tools
