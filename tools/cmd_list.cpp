// `veltrane list`: the output and input ports, like `amidi -l`.
#include <cstdio>
#include <cstring>

#include "tools/commands.h"
#include "tools/ports.h"

int CmdList(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::printf(
                "usage: veltrane list\n\n"
                "Lists the MIDI output and input ports with their IDs and names.\n"
                "A port may be named by its ID or by any part of its name.\n");
            return 0;
        }
        std::fprintf(stderr, "veltrane list: unexpected argument '%s' (see --help)\n", argv[i]);
        return 2;
    }
    if (!tools::KernelSideReady()) return 1;
    tools::PrintPortList(stdout);  // no ports (nothing plugged) is an empty list, not a failure
    return 0;
}
