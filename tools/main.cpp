// The veltrane command: dispatches to one subcommand.
#include <cstdio>
#include <cstring>

#include "tools/commands.h"

namespace {

struct Subcommand {
    const char* pszName;
    int (*pfn)(int, char**);
    const char* pszSummary;
};

const Subcommand kSubcommands[] = {
    {"list", CmdList, "list the MIDI ports (also -l)"},
    {"send", CmdSend, "send MIDI bytes or a sysex file out of a port"},
    {"monitor", CmdMonitor, "print what arrives on a port until Ctrl-C"},
    {"loop", CmdLoop, "send a checkable pattern out of one port and back in through another"},
#if !defined(_WIN32)
    {"demo", CmdDemo, "all of it on an embedded simulator, nothing to set up"},
    {"sim", CmdSim, "run the simulated kernel side and interfaces"},
#endif
};

void Usage(FILE* out) {
    std::fprintf(out, "usage: veltrane <command> [options]   (veltrane <command> --help)\n\n");
    for (const auto& c : kSubcommands)
        std::fprintf(out, "  %-8s %s\n", c.pszName, c.pszSummary);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return 2;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        Usage(stdout);
        return 0;
    }
    if (!std::strcmp(argv[1], "-l") || !std::strcmp(argv[1], "--list")) return CmdList(1, argv + 1);
    for (const auto& c : kSubcommands)
        if (!std::strcmp(argv[1], c.pszName)) return c.pfn(argc - 1, argv + 1);
    std::fprintf(stderr, "veltrane: unknown command '%s'\n", argv[1]);
    Usage(stderr);
    return 2;
}
