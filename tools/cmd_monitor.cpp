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
#include "tools/device_nodes.h"
#include "tools/filter.h"
#include "tools/input_port.h"
#include "tools/options.h"
#include "tools/ports.h"
#include "tools/stop_signal.h"

namespace {

const char kUsage[] =
    "usage: veltrane monitor -p PORT [--raw] [--all] [--channel N] [--type LIST]\n"
    "                        [-t SECONDS]\n\n"
    "Prints every message that arrives on an input port with its time in\n"
    "milliseconds since the start, decoded, until Ctrl-C. Clock (F8) and active\n"
    "sensing (FE) are not shown but counted, and the count printed at the end.\n"
    "A line says when the port's interface is unplugged and when it is back.\n\n"
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
    std::string port, kinds, error;
    bool raw = false;
    tools::MessageFilter filter;
    double timeout = 0;
    tools::OptionWalker w("monitor", argc, argv);
    while (w.Next()) {
        if (w.Help()) {
            std::printf("%s", kUsage);
            return 0;
        } else if (w.Value("-p", "--port", &port) || w.Seconds("-t", "--timeout", &timeout) ||
                   w.Count("-c", "--channel", 16, &filter.channel)) {
        } else if (w.Value("", "--type", &kinds)) {
            if (!tools::ParseKinds(kinds, &filter.kinds, &error)) w.Fail(error);
        } else if (w.Flag("-r", "--raw")) {
            raw = true;
        } else if (w.Flag("-a", "--all")) {
            filter.kinds = tools::kAllKinds;
        } else {
            w.Unexpected();
        }
    }
    if (w.failed()) return 2;
    if (port.empty()) {
        std::fprintf(stderr, "veltrane monitor: give -p PORT\n%s", kUsage);
        return 2;
    }
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
    // The interface is looked for now and then: the driver resumes the port
    // by itself when it comes back, and the user should know meanwhile.
    constexpr auto kLookEvery = std::chrono::milliseconds(500);
    Clock::time_point lastLook = lastShown;
    bool present = true;
    auto quiet = std::chrono::duration<double>(timeout);
    std::map<uint32_t, unsigned> hidden;  // by kind
    std::vector<tools::InputEvent> events;
    while (!tools::StopRequested()) {
        events.clear();
        in.WaitWhole(&events, 100);
        for (const tools::InputEvent& e : events) {
            // Errors are always shown: they say something went wrong.
            uint8_t status = tools::MessageBytes(e)[0];
            if (!e.IsError() && !filter.Passes(status)) {
                ++hidden[tools::KindOf(status)];
                continue;
            }
            std::printf("%s\n", tools::FormatEvent(e, raw).c_str());
            lastShown = Clock::now();
        }
        if (info.node >= 0 && Clock::now() - lastLook >= kLookEvery) {
            lastLook = Clock::now();
            if (tools::NodePresent(static_cast<unsigned>(info.node)) != present) {
                present = !present;
                if (present)
                    std::printf("interface is back (device node %d): %s receives again\n",
                                info.node, info.name.c_str());
                else
                    std::printf("interface removed (device node %d): waiting for %s to come back\n",
                                info.node, info.name.c_str());
            }
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
