// `veltrane record`: what arrives on an input port into a type-0 Standard
// MIDI File, like arecordmidi.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/decode.h"
#include "tools/file_io.h"
#include "tools/filter.h"
#include "tools/input_port.h"
#include "tools/options.h"
#include "tools/ports.h"
#include "tools/smf.h"
#include "tools/stop_signal.h"

namespace {

const char kUsage[] =
    "usage: veltrane record -p PORT FILE.mid [-t SECONDS] [--ppq N] [--bpm N] [--all]\n\n"
    "Records what arrives on an input port (ID, NODE:in-a, or part of its name),\n"
    "sysex included, into a Standard MIDI File of type 0, until Ctrl-C or SECONDS\n"
    "of silence. The file starts with the first message; it plays back with\n"
    "`veltrane play` to the same messages at the same times. Clock and active\n"
    "sensing are left out unless --all.\n\n"
    "  -p, --port PORT        the input port\n"
    "  -t, --timeout SECONDS  end after SECONDS without a message\n"
    "      --ppq N            ticks a quarter note (default 480)\n"
    "      --bpm N            the tempo written into the file (default 120)\n"
    "  -a, --all              record clock and active sensing too\n";

}  // namespace

int CmdRecord(int argc, char** argv) {
    std::string port, file;
    double timeout = 0;
    unsigned ppq = 480, bpm = 120;
    tools::MessageFilter filter;
    tools::OptionWalker w("record", argc, argv);
    while (w.Next()) {
        if (w.Help()) {
            std::printf("%s", kUsage);
            return 0;
        } else if (w.Value("-p", "--port", &port) || w.Seconds("-t", "--timeout", &timeout) ||
                   w.Count("", "--ppq", 0x7FFF, &ppq)) {
        } else if (w.Count("", "--bpm", 1000, &bpm)) {
            if (bpm < 4) w.Fail("--bpm takes 4 to 1000");
        } else if (w.Flag("-a", "--all")) {
            filter.kinds = tools::kAllKinds;
        } else {
            w.Operand(&file);
        }
    }
    if (w.failed()) return 2;
    if (port.empty() || file.empty()) {
        std::fprintf(stderr, "veltrane record: give -p PORT and a FILE\n%s", kUsage);
        return 2;
    }
    tools::PortInfo info;
    if (!tools::FindInputOrReport("record", port, &info)) return 1;
    // A file that cannot be written says so now, not after the take.
    std::string error;
    if (!tools::WriteWholeFile(file, tools::WriteSmf0({}, ppq, 60000000 / bpm), &error)) {
        std::fprintf(stderr, "veltrane record: %s\n", error.c_str());
        return 1;
    }
    tools::InstallStopHandler();
    tools::InputPort in;
    if (in.Open(info, 4096, 32) != MMSYSERR_NOERROR) return 1;
    std::printf("Recording from %s (ID %u) into %s. Press Ctrl-C to end.\n", info.name.c_str(),
                info.id, file.c_str());
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    Clock::time_point last = Clock::now();
    std::vector<tools::TimedMessage> take;
    unsigned sysex = 0, invalid = 0;
    uint32_t first = 0;
    std::vector<tools::InputEvent> events;
    while (!tools::StopRequested()) {
        events.clear();
        in.WaitWhole(&events, 100);
        for (const tools::InputEvent& e : events) {
            invalid += e.IsError();
            std::vector<uint8_t> bytes = tools::MessageBytes(e);
            if (e.IsError() || !filter.Passes(bytes[0])) continue;
            if (take.empty()) first = e.time;
            sysex += bytes[0] == 0xF0;
            take.push_back({int64_t(e.time - first) * 1000, std::move(bytes)});
            last = Clock::now();
        }
        if (timeout > 0 && Clock::now() - last > std::chrono::duration<double>(timeout)) break;
    }
    MMRESULT closed = in.Close();
    // A sysex counts from its first buffer: what came while it went on is later.
    std::stable_sort(
        take.begin(), take.end(),
        [](const tools::TimedMessage& a, const tools::TimedMessage& b) { return a.us < b.us; });
    if (!tools::WriteWholeFile(file, tools::WriteSmf0(take, ppq, 60000000 / bpm), &error)) {
        std::fprintf(stderr, "veltrane record: %s\n", error.c_str());
        return 1;
    }
    double seconds = take.empty() ? 0 : take.back().us / 1e6;
    std::printf("recorded %zu messages (%u sysex) over %.1f s into %s\n", take.size(), sysex,
                seconds, file.c_str());
    if (invalid) std::printf("left out %u invalid messages the driver reported\n", invalid);
    return closed == MMSYSERR_NOERROR ? 0 : 1;
}
