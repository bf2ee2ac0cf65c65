// `veltrane monitor`: every message that arrives on an input port, with its
// time, until Ctrl-C.
#include <cstdio>
#include <string>

#include "tools/commands.h"
#include "tools/decode.h"
#include "tools/input_port.h"
#include "tools/ports.h"
#include "tools/stop_signal.h"

namespace {

const char kUsage[] =
    "usage: veltrane monitor -p PORT [--raw]\n\n"
    "Prints every message that arrives on an input port (ID or part of its name)\n"
    "with its time in milliseconds since the start, decoded, until Ctrl-C.\n\n"
    "  -p, --port PORT  the input port\n"
    "  -r, --raw        print the bytes in hex instead of decoding them\n";

}  // namespace

int CmdMonitor(int argc, char** argv) {
    std::string port;
    bool raw = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return 0;
        } else if ((a == "-p" || a == "--port") && i + 1 < argc) {
            port = argv[++i];
        } else if (a == "-r" || a == "--raw") {
            raw = true;
        } else {
            std::fprintf(stderr, "veltrane monitor: unexpected argument '%s' (see --help)\n",
                         a.c_str());
            return 2;
        }
    }
    if (port.empty()) {
        std::fprintf(stderr, "veltrane monitor: give -p PORT\n%s", kUsage);
        return 2;
    }
    if (!tools::KernelSideReady()) return 1;
    tools::PortInfo info;
    if (!tools::FindPortOrReport("monitor", tools::InputPorts(), port, &info)) return 1;
    tools::InstallStopHandler();
    tools::InputPort in;
    if (in.Open(info.id, 4096, 32) != MMSYSERR_NOERROR) return 1;
    std::printf("Waiting for data on %s (ID %u). Press Ctrl-C to end.\n", info.name.c_str(),
                info.id);
    std::fflush(stdout);

    tools::SysexAssembler sysex;
    std::vector<tools::InputEvent> events;
    while (!tools::StopRequested()) {
        events.clear();
        in.Wait(&events, 100);
        for (tools::InputEvent& e : events) {
            if (e.kind == tools::InputEvent::Sysex) {
                // One message may come in several buffers: print it whole.
                std::vector<uint8_t> whole;
                if (!sysex.Add(e.bytes.data(), e.bytes.size(), &whole)) continue;
                e.bytes = std::move(whole);
            } else if (e.kind == tools::InputEvent::SysexError) {
                std::vector<uint8_t> part = sysex.TakePartial();
                part.insert(part.end(), e.bytes.begin(), e.bytes.end());
                e.bytes = std::move(part);
            }
            std::printf("%s\n", tools::FormatEvent(e, raw).c_str());
        }
        std::fflush(stdout);
    }
    return in.Close() == MMSYSERR_NOERROR ? 0 : 1;
}
