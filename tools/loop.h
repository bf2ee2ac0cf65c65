// The loop test of `veltrane loop` and `veltrane demo` (loop.cpp).
#pragma once

#include <cstddef>
#include <string>

#include "tools/winmm.h"

namespace tools {

struct LoopOptions {
    UINT outId = 0, inId = 0;
    std::string outName, inName;
    unsigned count = 1000;  // short messages; 0 with sysex for none
    size_t sysex = 0;       // bytes of the one sysex, 0 for none
};
// Runs the loop test and prints its report; answers true when nothing was
// lost, corrupted or reordered. *opened false when a port failed to open.
bool RunLoop(const LoopOptions& options, bool* opened);

}  // namespace tools
