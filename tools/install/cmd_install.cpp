// `veltrane install`, `uninstall`, `repair` and `status`: the Windows
// installer's subcommands (their work is in installer.cpp and status.cpp).
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/commands.h"
#include "tools/install/install.h"

namespace {

const char kInstallUsage[] =
    "usage: veltrane install [--dll32 PATH] [--dll64 PATH]\n\n"
    "Installs the driver for every MIDI application; needs administrator rights.\n"
    "Copies the 64-bit veltrane.dll to System32 and the 32-bit one to SysWOW64\n"
    "(32-bit Windows: the 32-bit one to System32), and names it in the first free\n"
    "value of midi1 to midi9 under Drivers32 in each registry view, leaving the\n"
    "values of other drivers alone. What it did is recorded under\n"
    "HKLM\\SOFTWARE\\Veltrane\\Install for uninstall. Running it again changes\n"
    "nothing, or brings the files up to date.\n\n"
    "  --dll32 PATH  the 32-bit DLL (default: veltrane32.dll beside veltrane.exe)\n"
    "  --dll64 PATH  the 64-bit DLL (default: veltrane64.dll beside veltrane.exe)\n";

const char kRepairUsage[] =
    "usage: veltrane repair [--dll32 PATH] [--dll64 PATH]\n\n"
    "Copies the files of the recorded install again and rewrites its Drivers32\n"
    "values; needs administrator rights. Takes the options of install.\n";

const char kUninstallUsage[] =
    "usage: veltrane uninstall\n\n"
    "Removes what install recorded, and only that: its Drivers32 values where they\n"
    "still name veltrane.dll, its files, and the record. Needs administrator\n"
    "rights. Running it again does nothing.\n";

const char kStatusUsage[] =
    "usage: veltrane status\n\n"
    "Shows the install: per width, the Drivers32 values that name veltrane.dll,\n"
    "the file and its version, and what the driver answers when winmm loads it by\n"
    "its alias (in a process of this command's width). Exit status 0 when all of\n"
    "it is in place.\n";

bool IsHelp(const char* psz) {
    return !std::strcmp(psz, "--help") || !std::strcmp(psz, "-h");
}

// Answers -1 when the command goes on with *sources, else the exit status.
int ParseSources(const char* verb, const char* usage, int argc, char** argv,
                 install::Sources* sources) {
    sources->dll32 = install::OwnFolder() + L"veltrane32.dll";
    sources->dll64 = install::OwnFolder() + L"veltrane64.dll";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (IsHelp(argv[i])) {
            std::printf("%s", usage);
            return 0;
        } else if (a == "--dll32" && i + 1 < argc) {
            sources->dll32 = install::Widen(argv[++i]);
        } else if (a == "--dll64" && i + 1 < argc) {
            sources->dll64 = install::Widen(argv[++i]);
        } else {
            std::fprintf(stderr, "veltrane %s: unexpected argument '%s' (see --help)\n", verb,
                         argv[i]);
            return 2;
        }
    }
    return -1;
}

// For the commands without options: answers -1 when the command goes on.
int ParseNone(const char* verb, const char* usage, int argc, char** argv) {
    if (argc == 2 && IsHelp(argv[1])) {
        std::printf("%s", usage);
        return 0;
    }
    if (argc > 1) {
        std::fprintf(stderr, "veltrane %s: unexpected argument '%s' (see --help)\n", verb, argv[1]);
        return 2;
    }
    return -1;
}

}  // namespace

int CmdInstall(int argc, char** argv) {
    install::Sources sources;
    int r = ParseSources("install", kInstallUsage, argc, argv, &sources);
    return r >= 0 ? r : install::Install(sources, false);
}

int CmdRepair(int argc, char** argv) {
    install::Sources sources;
    int r = ParseSources("repair", kRepairUsage, argc, argv, &sources);
    return r >= 0 ? r : install::Install(sources, true);
}

int CmdUninstall(int argc, char** argv) {
    int r = ParseNone("uninstall", kUninstallUsage, argc, argv);
    return r >= 0 ? r : install::Uninstall();
}

int CmdStatus(int argc, char** argv) {
    int r = ParseNone("status", kStatusUsage, argc, argv);
    return r >= 0 ? r : install::Status();
}
