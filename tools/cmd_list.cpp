// `veltrane list`: the output and input ports, like `amidi -l`.
#include <cstdio>

#include "tools/commands.h"
#include "tools/options.h"
#include "tools/ports.h"

int CmdList(int argc, char** argv) {
    bool json = false;
    tools::OptionWalker w("list", argc, argv);
    while (w.Next()) {
        if (w.Help()) {
            std::printf(
                "usage: veltrane list [--json]\n\n"
                "Lists the MIDI output and input ports: winmm's ID, the device node of the\n"
                "interface, the port as NODE:out-a ... NODE:in-b, and the name. Any of\n"
                "them, or any part of the name, selects a port (-p). IDs and names follow\n"
                "the plugged interfaces: they shift when another interface is unplugged\n"
                "(\"Out-A2\" becomes \"Out-A\"); NODE:out-a stays the same.\n\n"
                "  --json  the list as one JSON object\n");
            return 0;
        }
        if (w.Flag("", "--json")) {
            json = true;
        } else {
            w.Unexpected();
        }
    }
    if (w.failed()) return 2;
    if (!tools::KernelSideReady()) return 1;
    tools::PrintPortList(stdout,
                         json);  // no ports (nothing plugged) is an empty list, not a failure
    return 0;
}
