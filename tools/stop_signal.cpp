// The stop request of Ctrl-C: a flag the signal handler sets and the
// subcommands' loops read.
#include "tools/stop_signal.h"

#include <csignal>

namespace tools {
namespace {

volatile std::sig_atomic_t gfStop = 0;
extern "C" void OnStopSignal(int) {
    gfStop = 1;
}

}  // namespace

void InstallStopHandler() {
    gfStop = 0;
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
}

bool StopRequested() {
    return gfStop != 0;
}

}  // namespace tools
