// What the fuzz targets share: a private object root for the fuzzing process,
// the simulated kernel side in the same process (whose ring routines play
// the kernel side's end of a ring for the targets that need one), and a
// finding reported as a crash.
#pragma once

#include <cstdint>
#include <string>

#include "sim/sim.h"

namespace fuzz {

// The object root of this process: a fresh directory, exported as
// VELTRANE_ROOT before anything asks for it, removed at exit.
const std::string& Root();

// A simulator serving the root from a thread of this process, started with
// options (root set here); aborts when it cannot start.
void StartServer(sim::Server* server, sim::Options options);

// The simulator of a target that fuzzes it, as if freshly started with
// options: started on first use (and again after a quit), then every node
// unplugged and those of options plugged again, so that streams, counters,
// rates and faults start over.
void FreshServer(const sim::Options& options);

// A finding: prints it and aborts, which libFuzzer reports with the input.
[[noreturn]] void Fail(const char* what);
inline void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

}  // namespace fuzz
