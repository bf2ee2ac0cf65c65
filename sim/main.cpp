// `veltrane sim`: the server as a program of its own, as tests and people
// run it.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "sim/server_state.h"
#include "sim/sim.h"

namespace sim {
namespace {

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: veltrane sim [--nodes 0,1] [--rate wire|fast|paused] [--no-loopback]\n"
                 "                    [--exit-with-parent]\n\n"
                 "Serves the simulated interfaces of the object root ($VELTRANE_ROOT, or\n"
                 "/tmp/veltrane-$UID): device node N at <root>/dev/veltrane-N and the\n"
                 "control socket <root>/control. Prints \"ready\" once every socket listens.\n\n"
                 "  --nodes LIST        device nodes plugged at start (default 0; \"\" none)\n"
                 "  --rate RATE         output pace: wire (31250 baud), fast, paused\n"
                 "  --no-loopback       outputs do not feed the inputs\n"
                 "  --exit-with-parent  end when the process that started it ends\n\n"
                 "Control commands, one a line (`veltrane ctl COMMAND...` sends one):\n"
                 "  %s\n"
                 "await waits until the counter KEY (as stats names it) is at least VALUE;\n"
                 "capture with a COUNT waits until the output drained that many packets or\n"
                 "bytes. Either answers \"error timeout ...\" after TIMEOUT_MS (default 10000).\n"
                 "A timed capture gives each packet as US:HEX32, US the simulator's clock in\n"
                 "microseconds when the packet left the ring.\n",
                 ControlCommandList("\n  ").c_str());
}

bool ParseNodes(const std::string& text, std::vector<unsigned>* nodes) {
    nodes->clear();
    size_t at = 0;
    while (at < text.size()) {
        size_t comma = text.find(',', at);
        std::string one =
            text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (one.size() != 1 || one[0] < '0' || one[0] >= char('0' + kDevNodes)) return false;
        nodes->push_back(static_cast<unsigned>(one[0] - '0'));
        if (comma == std::string::npos) break;
        at = comma + 1;
        if (at == text.size()) return false;  // trailing comma
    }
    return true;
}

}  // namespace

int Main(int argc, char** argv) {
    Options options;
    bool exitWithParent = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--nodes" && value(&v)) {
            if (!ParseNodes(v, &options.nodes)) {
                std::fprintf(stderr, "veltrane sim: bad node list '%s' (nodes 0 to 7)\n",
                             v.c_str());
                return 2;
            }
        } else if (a == "--rate" && value(&v)) {
            if (!ParseRate(v, &options.rate)) {
                std::fprintf(stderr, "veltrane sim: bad rate '%s' (wire, fast, paused)\n",
                             v.c_str());
                return 2;
            }
        } else if (a == "--no-loopback") {
            options.loopback = false;
        } else if (a == "--exit-with-parent") {
            exitWithParent = true;
        } else {
            std::fprintf(stderr, "veltrane sim: unexpected argument '%s'\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }

    pid_t parent = getppid();
    if (exitWithParent) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) return 0;  // the parent died before the request took
    }
    signal(SIGPIPE, SIG_IGN);
    // Blocked before the server thread exists, so only the wait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Server server;
    std::string error;
    if (!server.Start(options, &error)) {
        std::fprintf(stderr, "veltrane sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    for (;;) {
        timespec wait{0, 100 * 1000 * 1000};
        if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) break;
        if (server.Finished()) break;
        if (exitWithParent && getppid() != parent) break;
    }
    server.Stop();
    return 0;
}

}  // namespace sim
