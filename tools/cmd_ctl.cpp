// `veltrane ctl`: one line to the simulator's control socket, its answer
// printed.
#include <cstdio>
#include <string>

#include "sim/sim.h"
#include "tools/commands.h"
#include "tools/ports.h"

namespace {

const char kUsage[] =
    "usage: veltrane ctl COMMAND...\n\n"
    "Sends one command line to the simulator serving the object root\n"
    "($VELTRANE_ROOT/control) and prints its answer. Exit status 1 when the answer\n"
    "is \"error ...\". `veltrane ctl help` lists the commands, for example:\n\n"
    "  veltrane ctl stats 0\n"
    "  veltrane ctl rate 0 paused\n"
    "  veltrane ctl inject 0 A 90 3C 40\n";

// Longer than the longest wait a command may ask for (await, capture).
constexpr int kAnswerWithinMs = 700000;

}  // namespace

int CmdCtl(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i == 1 && (a == "--help" || a == "-h")) {
            std::printf("%s", kUsage);
            return 0;
        }
        line += (line.empty() ? "" : " ") + a;
    }
    if (line.empty()) {
        std::fprintf(stderr, "veltrane ctl: give a command (veltrane ctl help lists them)\n");
        return 2;
    }
    if (!tools::KernelSideReady()) return 1;
    sim::ControlClient client;
    std::string answer, error;
    if (!client.Connect("", &error) || !client.Command(line, &answer, &error, kAnswerWithinMs)) {
        std::fprintf(stderr, "veltrane ctl: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", answer.c_str());
    return answer.rfind("error", 0) == 0 ? 1 : 0;
}
