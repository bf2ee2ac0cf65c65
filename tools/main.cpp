// The veltrane command: dispatches to one subcommand.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "tools/commands.h"
#include "tools/version.h"

namespace {

struct Subcommand {
    const char* pszName;
    int (*pfn)(int, char**);
    const char* pszSummary;
};

const Subcommand kSubcommands[] = {
    {"list", CmdList, "list the MIDI ports (also -l)"},
    {"send", CmdSend, "send MIDI bytes, named messages, a script or a sysex file"},
    {"play", CmdPlay, "play a Standard MIDI File out of a port"},
    {"monitor", CmdMonitor, "print what arrives on a port until Ctrl-C"},
    {"record", CmdRecord, "record what arrives on a port into a Standard MIDI File"},
    {"receive", CmdReceive, "write the sysex that arrives on a port into a file"},
    {"loop", CmdLoop, "send a checkable pattern out of one port and back in through another"},
#if defined(_WIN32)
    {"install", CmdInstall, "install the driver for every MIDI application (as administrator)"},
    {"uninstall", CmdUninstall, "remove what install installed, and only that"},
    {"repair", CmdRepair, "copy the installed files again and rewrite their registry values"},
    {"status", CmdStatus, "show the install and whether the driver answers"},
#else
    {"demo", CmdDemo, "all of it on an embedded simulator, nothing to set up"},
    {"sim", CmdSim, "run the simulated kernel side and interfaces"},
    {"ctl", CmdCtl, "send one command to the simulator's control socket"},
#endif
};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: veltrane <command> [options]   (veltrane <command> --help)\n"
                 "       veltrane --version\n\n");
    for (const auto& c : kSubcommands)
        std::fprintf(out, "  %-9s %s\n", c.pszName, c.pszSummary);
    std::fprintf(out,
                 "\nPORT is a port's ID, its device node and port (0:out-a ... 7:in-b, which\n"
                 "stay the same when another interface is unplugged) or part of its name.\n");
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
    if (!std::strcmp(argv[1], "--version") || !std::strcmp(argv[1], "-V")) {
        std::printf("%s", tools::VersionReport().c_str());
        return 0;
    }
    if (!std::strcmp(argv[1], "-l") || !std::strcmp(argv[1], "--list")) return CmdList(1, argv + 1);
    for (const auto& c : kSubcommands)
        if (!std::strcmp(argv[1], c.pszName)) return c.pfn(argc - 1, argv + 1);
#if !defined(_WIN32)
    // The installer's commands belong to the Windows build; here the driver
    // is a library that needs no installing.
    for (const char* pszWindows : {"install", "uninstall", "repair", "status"}) {
        if (!std::strcmp(argv[1], pszWindows)) {
            std::fprintf(stderr,
                         "veltrane %s: for Windows only (veltrane.exe %s); on Linux the driver "
                         "needs no installing\n",
                         argv[1], argv[1]);
            return 1;
        }
    }
#endif
    std::fprintf(stderr, "veltrane: unknown command '%s'\n", argv[1]);
    Usage(stderr);
    return 2;
}
