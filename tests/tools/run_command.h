// The veltrane command run by a test: to the end, or as a child that the test
// talks to and stops.
#pragma once

#include <string>

#include "tests/support/support.h"

namespace vttools {

// `veltrane ARGS` through the shell (ARGS may quote and pipe), with its
// standard error in its output.
inline vt::ChildProcess StartCommand(const std::string& args) {
    return vt::ChildProcess(
        {"/bin/sh", "-c", std::string("exec ") + VT_VELTRANE_EXE + " " + args + " 2>&1"});
}

// Runs the command to the end; answers its exit status and fills *out with
// everything it printed, stderr included.
inline int RunCommand(const std::string& args, std::string* out) {
    vt::ChildProcess child = StartCommand(args);
    out->clear();
    try {
        for (;;)
            *out += child.ReadLine(60000) + "\n";
    } catch (const std::runtime_error&) {
        // the command closed its output
    }
    return child.Wait(60000);
}

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace vttools
