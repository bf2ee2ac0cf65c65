// The veltrane command: dispatches to one subcommand.
#include <cstdio>
#include <cstring>

#include "build_id.h"
#include "tools/commands.h"

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
#if !defined(_WIN32)
    {"demo", CmdDemo, "all of it on an embedded simulator, nothing to set up"},
    {"sim", CmdSim, "run the simulated kernel side and interfaces"},
    {"ctl", CmdCtl, "send one command to the simulator's control socket"},
#endif
};

#if defined(_WIN32) && defined(_WIN64)
const char kPlatform[] = "Windows x86_64";
#elif defined(_WIN32)
const char kPlatform[] = "Windows i686";
#elif defined(__x86_64__)
const char kPlatform[] = "Linux x86_64";
#elif defined(__aarch64__)
const char kPlatform[] = "Linux aarch64";
#else
const char kPlatform[] = "Linux";
#endif

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: veltrane <command> [options]   (veltrane <command> --help)\n"
                 "       veltrane --version\n\n");
    for (const auto& c : kSubcommands)
        std::fprintf(out, "  %-8s %s\n", c.pszName, c.pszSummary);
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
        std::printf("veltrane %s (Veltrane MIDI driver %s)\nbuild %s, %s\n", VT_VERSION_TEXT,
                    VT_VERSION_TEXT, VT_BUILD_ID, kPlatform);
        return 0;
    }
    if (!std::strcmp(argv[1], "-l") || !std::strcmp(argv[1], "--list")) return CmdList(1, argv + 1);
    for (const auto& c : kSubcommands)
        if (!std::strcmp(argv[1], c.pszName)) return c.pfn(argc - 1, argv + 1);
    std::fprintf(stderr, "veltrane: unknown command '%s'\n", argv[1]);
    Usage(stderr);
    return 2;
}
