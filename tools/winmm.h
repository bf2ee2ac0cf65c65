// The one place where the veltrane command meets its platform: the winmm API
// (the system's on Windows, the multimedia layer on Linux) and the few other
// things that differ between the two.
#pragma once

#include <string>

// The system's headers on Windows, the layer's client headers on Linux.
#include <windows.h>
#include <mmsystem.h>

#if defined(_WIN32)
#include <io.h>
#include <cstdio>

inline bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}
// Reads of standard input block; Ctrl-C ends a console read.
inline bool StdinReady(int) {
    return true;
}
// Why winmm found no driver: it does not say.
inline std::string DriverLoadError() {
    return std::string();
}
// The kernel side is the vendor's driver: there is nothing to start.
inline bool KernelSideMissing(std::string*) {
    return false;
}
#else
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "host/mm/vtmm.h"
#include "host/os/devwire.h"
#include "sim/sim.h"

inline bool StderrIsTerminal() {
    return isatty(2) != 0;
}
// Whether a read of standard input (unbuffered) would not block, waiting up
// to timeoutMs: so that Ctrl-C is seen while nothing is typed.
inline bool StdinReady(int timeoutMs) {
    pollfd pfd{0, POLLIN, 0};
    int n = poll(&pfd, 1, timeoutMs);
    return n > 0 || (n < 0 && errno != EINTR);
}
inline std::string DriverLoadError() {
    return VtMmDriverError();
}
// No simulator serves the object root: the ports would all be missing. The
// control socket has to answer: one that a killed simulator left behind is
// still there as a file.
inline bool KernelSideMissing(std::string* hint) {
    std::string root = devwire::Root();
    sim::ControlClient client;
    std::string ignored;
    if (client.Connect(root, &ignored)) return false;
    *hint = "no simulator is running under " + root +
            " (start one with `veltrane sim &`, or try `veltrane demo`)";
    return true;
}
#endif
