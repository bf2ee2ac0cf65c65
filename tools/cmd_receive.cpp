// `veltrane receive`: sysex dumps from an input port into a file of raw
// bytes, like `amidi -r`.
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/args.h"
#include "tools/commands.h"
#include "tools/decode.h"
#include "tools/input_port.h"
#include "tools/options.h"
#include "tools/ports.h"
#include "tools/stop_signal.h"

namespace {

const char kUsage[] =
    "usage: veltrane receive -p PORT -o FILE.syx [-t SECONDS] [--all]\n\n"
    "Writes the system-exclusive messages that arrive on an input port (ID,\n"
    "NODE:in-a, or part of its name) into FILE as raw bytes, as they come, and\n"
    "says what it wrote. It ends after SECONDS without data; without -t it waits\n"
    "for the first message as long as it takes, and ends 2 s after the last one.\n"
    "Ctrl-C ends it too.\n\n"
    "  -p, --port PORT        the input port\n"
    "  -o, --output FILE      the file to write (replaced)\n"
    "  -t, --timeout SECONDS  end after SECONDS without data, from the start on\n"
    "  -a, --all              write every message, not only sysex\n";

// Without -t: how long after the last message the dump is taken as done.
constexpr double kDefaultQuietSeconds = 2;

}  // namespace

int CmdReceive(int argc, char** argv) {
    std::string port, file;
    double timeout = 0;
    bool all = false;
    tools::OptionWalker w("receive", argc, argv);
    while (w.Next()) {
        if (w.Help()) {
            std::printf("%s", kUsage);
            return 0;
        } else if (w.Value("-p", "--port", &port) || w.Value("-o", "--output", &file) ||
                   w.Seconds("-t", "--timeout", &timeout)) {
        } else if (w.Flag("-a", "--all")) {
            all = true;
        } else {
            w.Unexpected();
        }
    }
    if (w.failed()) return 2;
    if (port.empty() || file.empty()) {
        std::fprintf(stderr, "veltrane receive: give -p PORT and -o FILE\n%s", kUsage);
        return 2;
    }
    tools::PortInfo info;
    if (!tools::FindInputOrReport("receive", port, &info)) return 1;
    FILE* out = std::fopen(file.c_str(), "wb");
    if (!out) {
        std::fprintf(stderr, "veltrane receive: cannot write %s: %s\n", file.c_str(),
                     std::strerror(errno));
        return 1;
    }
    tools::InstallStopHandler();
    tools::InputPort in;
    if (in.Open(info, 4096, 32) != MMSYSERR_NOERROR) {
        std::fclose(out);
        return 1;
    }
    std::printf("Waiting for %s on %s (ID %u). Press Ctrl-C to end.\n", all ? "data" : "sysex",
                info.name.c_str(), info.id);
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    Clock::time_point last = Clock::now();
    size_t messages = 0, bytes = 0;
    unsigned invalid = 0;
    bool writeFailed = false;
    std::vector<tools::InputEvent> events;
    while (!tools::StopRequested() && !writeFailed) {
        events.clear();
        in.WaitWhole(&events, 100);
        // A dump under way keeps it going; clock or active sensing (not
        // written without --all) does not.
        if (in.SysexUnderWay()) last = Clock::now();
        for (const tools::InputEvent& e : events) {
            invalid += e.IsError();
            if (e.IsError() || (e.kind == tools::InputEvent::Data && !all)) continue;
            std::vector<uint8_t> m = tools::MessageBytes(e);
            if (std::fwrite(m.data(), 1, m.size(), out) != m.size() || std::fflush(out) != 0) {
                std::fprintf(stderr, "veltrane receive: cannot write %s: %s\n", file.c_str(),
                             std::strerror(errno));
                writeFailed = true;
                break;
            }
            ++messages;
            bytes += m.size();
            last = Clock::now();
        }
        double quiet = timeout > 0 ? timeout : messages ? kDefaultQuietSeconds : 0;
        if (quiet > 0 && Clock::now() - last > std::chrono::duration<double>(quiet)) break;
    }
    MMRESULT closed = in.Close();
    if (std::fclose(out) != 0 && !writeFailed) {
        std::fprintf(stderr, "veltrane receive: cannot write %s: %s\n", file.c_str(),
                     std::strerror(errno));
        writeFailed = true;
    }
    std::printf("wrote %zu %s (%zu bytes) to %s\n", messages,
                all ? (messages == 1 ? "message" : "messages")
                    : (messages == 1 ? "sysex message" : "sysex messages"),
                bytes, file.c_str());
    if (invalid) std::printf("left out %u invalid messages the driver reported\n", invalid);
    return closed == MMSYSERR_NOERROR && !writeFailed ? 0 : 1;
}
