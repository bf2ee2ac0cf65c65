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

// For the driver's targets, which play the kernel side's part in the rings
// themselves: a simulator serving node 0 from a thread of this process for
// the rest of it, draining no output and producing no input.
void StartSilentServer();

// For the other targets: the simulator of this process as if freshly started
// with node 0 at the fast rate. Started on first use (and again
// after a quit); otherwise every node is unplugged and node 0 plugged again,
// so that streams, counters, rates and faults start over.
void FreshServer();

// A connection to the Unix socket at path (SOCK_STREAM, SOCK_SEQPACKET, with
// SOCK_NONBLOCK if wanted); -1 when nobody serves it.
int Connect(const std::string& path, int type);

// A finding: prints it and aborts, which libFuzzer reports with the input.
[[noreturn]] void Fail(const char* what);
inline void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

}  // namespace fuzz
