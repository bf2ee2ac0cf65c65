// `veltrane monitor`: every message that arrives on an input port, with its
// time, until Ctrl-C or a spell of silence; clock and active sensing counted
// rather than shown unless asked for.
#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/decode.h"
#include "tools/filter.h"
#include "tools/input_port.h"
#include "tools/ports.h"
#include "tools/stop_signal.h"

namespace {

const char kUsage[] =
    "usage: veltrane monitor -p PORT [--raw] [--all] [--channel N] [--type LIST]\n"
    "                        [-t SECONDS]\n\n"
    "Prints every message that arrives on an input port with its time in\n"
    "milliseconds since the start, decoded, until Ctrl-C. Clock (F8) and active\n"
    "sensing (FE) are not shown but counted, and the count printed at the end.\n\n"
    "  -p, --port PORT     the input port (ID, NODE:in-a, or part of its name)\n"
    "  -r, --raw           print the bytes in hex instead of decoding them\n"
    "  -a, --all           show clock and active sensing too\n"
    "  -c, --channel N     only channel messages of channel N (1 to 16)\n"
    "      --type LIST     only these kinds, comma-separated: note pp cc pc at pb\n"
    "                      sysex common clock transport sensing reset, or the\n"
    "                      groups channel, realtime, all\n"
    "  -t, --timeout SECONDS  end when nothing was shown for SECONDS\n";

}  // namespace

int CmdMonitor(int argc, char** argv) {
    std::string port, error;
    bool raw = false;
    tools::MessageFilter filter;
    double timeout = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool more = i + 1 < argc;
        unsigned channel = 0;
        if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return 0;
        } else if ((a == "-p" || a == "--port") && more) {
            port = argv[++i];
        } else if (a == "-r" || a == "--raw") {
            raw = true;
        } else if (a == "-a" || a == "--all") {
            filter.kinds = tools::kAllKinds;
        } else if ((a == "-c" || a == "--channel") && more) {
            if (!tools::ParseCount(argv[++i], &channel) || channel > 16) {
                std::fprintf(stderr, "veltrane monitor: --channel takes 1 to 16\n");
                return 2;
            }
            filter.channel = channel;
        } else if (a == "--type" && more) {
            if (!tools::ParseKinds(argv[++i], &filter.kinds, &error)) {
                std::fprintf(stderr, "veltrane monitor: %s\n", error.c_str());
                return 2;
            }
        } else if ((a == "-t" || a == "--timeout") && more) {
            if (!tools::ParseSeconds(argv[++i], &timeout)) {
                std::fprintf(stderr, "veltrane monitor: --timeout takes seconds (0.5, 2, ...)\n");
                return 2;
            }
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
    if (!tools::FindInputOrReport("monitor", port, &info)) return 1;
    tools::InstallStopHandler();
    tools::InputPort in;
    if (in.Open(info, 4096, 32) != MMSYSERR_NOERROR) return 1;
    std::printf("Waiting for data on %s (ID %u). Press Ctrl-C to end.\n", info.name.c_str(),
                info.id);
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    Clock::time_point lastShown = Clock::now();
    auto quiet = std::chrono::duration<double>(timeout);
    std::map<uint32_t, unsigned> hidden;  // by kind
    tools::SysexAssembler sysex;
    std::vector<tools::InputEvent> events;
    while (!tools::StopRequested()) {
        events.clear();
        in.Wait(&events, 100);
        for (tools::InputEvent& e : events) {
            if (!sysex.Join(&e)) continue;
            // Errors are always shown: they say something went wrong.
            uint8_t status = e.kind == tools::InputEvent::Data ? e.msg & 0xFF : 0xF0;
            bool error =
                e.kind == tools::InputEvent::Error || e.kind == tools::InputEvent::SysexError;
            if (!error && !filter.Passes(status)) {
                ++hidden[tools::KindOf(status)];
                continue;
            }
            std::printf("%s\n", tools::FormatEvent(e, raw).c_str());
            lastShown = Clock::now();
        }
        std::fflush(stdout);
        if (timeout > 0 && Clock::now() - lastShown > quiet) break;
    }
    if (!hidden.empty()) {
        std::string counts;
        for (const auto& [kind, count] : hidden)
            counts +=
                (counts.empty() ? "" : ", ") + std::to_string(count) + " " + tools::KindName(kind);
        std::printf("not shown: %s (--all or --type shows them)\n", counts.c_str());
    }
    return in.Close() == MMSYSERR_NOERROR ? 0 : 1;
}
