// `veltrane demo`: everything at once with nothing to set up and nothing left
// behind: a private object root, the simulator on a thread of this process
// with interfaces on nodes 0 and 1 at wire rate, the port list, a phrase
// played on one port and monitored on its loopback, a loop test, a summary.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "sim/sim.h"
#include "tools/commands.h"
#include "tools/decode.h"
#include "tools/input_port.h"
#include "tools/loop.h"
#include "tools/output_port.h"
#include "tools/ports.h"
#include "tools/stop_signal.h"

namespace {

const char kUsage[] =
    "usage: veltrane demo\n\n"
    "Runs the driver against a simulated kernel side with two interfaces in a\n"
    "private object root (removed at the end): lists the ports, plays a phrase\n"
    "on \"Out-A2 Veltrane\" and shows it arriving on \"In-A2 Veltrane\" through the\n"
    "simulator's loopback, then runs a loop test with a 1 KiB sysex.\n";

// The private root and the simulator, torn down in the right order whatever
// happens: the driver first, then the simulator, then the files.
class Stage {
  public:
    ~Stage() {
        VtMmShutdown();
        server.Stop();
        if (!root.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(root, ec);
        }
    }
    std::string root;
    sim::Server server;
};

struct Note {
    DWORD msg;
    int pauseMs;  // after it
};

// A C major arpeggio with a controller, a bend and a program change.
const Note kPhrase[] = {
    {0x0000C0, 0},   {0x6407B0, 0},   {0x503C90, 150}, {0x003C80, 0},
    {0x504090, 150}, {0x004080, 0},   {0x504390, 150}, {0x004380, 0},
    {0x5A4890, 300}, {0x5000E0, 100}, {0x4000E0, 100}, {0x004880, 50},
};

}  // namespace

int CmdDemo(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return 0;
        }
        std::fprintf(stderr, "veltrane demo: unexpected argument '%s' (see --help)\n", a.c_str());
        return 2;
    }
    tools::InstallStopHandler();
    Stage stage;
    char tmpl[] = "/tmp/veltrane-demo-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("veltrane demo: mkdtemp");
        return 1;
    }
    stage.root = tmpl;
    // Before the layer first loads the driver: the host reads it once.
    setenv("VELTRANE_ROOT", stage.root.c_str(), 1);
    sim::Options options;
    options.nodes = {0, 1};
    options.rate = sim::Rate::Wire;
    options.root = stage.root;
    std::string error;
    if (!stage.server.Start(options, &error)) {
        std::fprintf(stderr, "veltrane demo: the simulator did not start: %s\n", error.c_str());
        return 1;
    }
    std::printf("== Simulator: interfaces on device nodes 0 and 1 at wire rate (root %s)\n\n",
                stage.root.c_str());

    std::printf("== Ports\n");
    size_t ports = tools::PrintPortList(stdout);
    std::printf("\n");

    tools::PortInfo out, in;
    if (!tools::FindOutputOrReport("demo", "Out-A2 Veltrane", &out) ||
        !tools::FindInputOrReport("demo", "In-A2 Veltrane", &in))
        return 1;

    std::printf("== A phrase on %s, as `veltrane monitor -p In-A2` shows it on %s\n",
                out.name.c_str(), in.name.c_str());
    std::fflush(stdout);
    unsigned played = 0, heard = 0;
    {
        tools::InputPort port;
        if (port.Open(in) != MMSYSERR_NOERROR) return 1;
        tools::OutputPort player;
        if (player.Open(out) != MMSYSERR_NOERROR) return 1;
        std::vector<tools::InputEvent> events;
        auto show = [&](int forMs) {
            auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(forMs);
            do {
                events.clear();
                port.Wait(&events, 10);
                for (const auto& e : events) {
                    std::printf("  %s\n", tools::FormatEvent(e, false).c_str());
                    if (e.kind == tools::InputEvent::Data) ++heard;
                }
                std::fflush(stdout);
            } while (std::chrono::steady_clock::now() < until);
        };
        for (const Note& n : kPhrase) {
            if (tools::StopRequested() || player.Short(n.msg) != MMSYSERR_NOERROR) break;
            ++played;
            show(n.pauseMs);
        }
        show(200);  // the last bytes are still on the wire
        if (player.Close() != MMSYSERR_NOERROR || port.Close() != MMSYSERR_NOERROR) return 1;
    }
    std::printf("\n");

    std::printf("== Loop test\n");
    tools::LoopOptions o;
    o.out = out;
    o.in = in;
    o.count = 500;
    o.sysex = 1024;
    bool loopOk = !tools::StopRequested() && tools::RunLoop(o) == 0;
    std::printf("\n");

    bool ok =
        ports == 8 && played == heard && played == sizeof kPhrase / sizeof kPhrase[0] && loopOk;
    std::printf("== Summary: %zu ports, phrase %u of %u messages heard, loop %s -> %s\n", ports,
                heard, played, loopOk ? "clean (0 lost, 0 corrupted)" : "FAILED",
                ok ? "all good" : "something went wrong");
    return ok ? 0 : 1;
}
