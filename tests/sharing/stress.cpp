// Stress: applications (sharing_peer in its random mode) that open, send,
// receive and close on one interface, most of them killed at a random moment,
// the others ending on their own; several always run at once. Afterwards the
// interface must serve a fresh sender and a fresh receiver at once, the
// simulator must hold no stream, and the object root nothing but the
// simulator's own files. Prints what it counted; exits 1 on any fault.
//
//   vt_stress [--cycles N] [--seconds S] [--peers P] [--seed X]
//
// A cycle starts one application and ends one; the run ends after N cycles
// or S seconds, whichever comes last (so a busy machine still runs all N).
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sim_process.h"
#include "tests/support/support.h"

namespace {

using Clock = std::chrono::steady_clock;

// A call that has not returned after this long is a fault: the longest wait
// the driver allows itself is the stall bound of a second.
constexpr int kCallBoundMs = 2000;
// How soon a fresh receiver must hear what arrives after it opened.
constexpr int kFreshReceiveBoundMs = 100;

struct Options {
    unsigned cycles = 200;
    unsigned seconds = 20;
    unsigned peers = 4;
    unsigned seed = 1;
};

struct Peer {
    std::unique_ptr<vt::ChildProcess> process;
    Clock::time_point heardAt;  // its last line
    Clock::time_point endAt;    // when it is killed
    bool endsByItself = false;  // runs a count of calls and exits
};

struct Counts {
    unsigned started = 0, killed = 0, ended = 0, faults = 0;
    long long slowestMs = 0;
    std::map<std::string, unsigned> calls;  // "notes 0" -> how many
};

void Fault(Counts* counts, const std::string& what) {
    ++counts->faults;
    std::printf("FAULT: %s\n", what.c_str());
}

// Takes the lines a peer wrote: "CALL RESULT MS".
void Hear(Peer* peer, Counts* counts) {
    std::vector<std::string> lines;
    peer->process->ReadAvailable(&lines);
    for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string call, result;
        long long ms = 0;
        if (!(in >> call >> result >> ms)) {
            if (line != "ready") Fault(counts, "peer said '" + line + "'");
            continue;
        }
        ++counts->calls[call + " " + result];
        counts->slowestMs = std::max(counts->slowestMs, ms);
        if (ms > kCallBoundMs) Fault(counts, line + " (ms)");
        // Nothing a peer does may be refused: with the fast drain a ring
        // never stays full, and another's death must not show.
        if (result != "0") Fault(counts, line + " (failed)");
    }
    if (!lines.empty()) peer->heardAt = Clock::now();
}

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        unsigned v = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        if (!std::strcmp(argv[i], "--cycles"))
            o->cycles = v;
        else if (!std::strcmp(argv[i], "--seconds"))
            o->seconds = v;
        else if (!std::strcmp(argv[i], "--peers"))
            o->peers = v;
        else if (!std::strcmp(argv[i], "--seed"))
            o->seed = v;
        else
            return false;
    }
    return argc % 2 == 1 && o->peers >= 3;
}

// What is left under the root once only the simulator runs: its sockets,
// the directories, and the test's own marker file. Anything else is named.
std::vector<std::string> Leftovers() {
    std::vector<std::string> out;
    const std::string root = vt::TestRoot();
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        std::string rel = e.path().string().substr(root.size() + 1);
        if (e.is_directory() || rel == "owner" || rel == "control" || rel.rfind("dev/", 0) == 0)
            continue;
        out.push_back(rel);
    }
    return out;
}

// The run's end: what must hold once the applications are gone.
void CheckAfterwards(vt::Simulator& sim, Counts* counts) {
    for (const char* gauge : {"streams_out_a", "streams_out_b", "streams_in", "waiting_in"})
        if (!sim.AwaitAtMost(0, gauge, 0, 5000))
            Fault(counts, std::string("the simulator still has ") + gauge);

    // A fresh sender is heard.
    sim.Ok("capture 0 A packets");  // what the others sent
    vt::ChildProcess sender({vt::BuiltProgram("tests/sharing/vt_sharing_peer")});
    if (sender.ReadLine() != "ready" || sender.Ask("out 0") != "0" ||
        sender.Ask("short 7F3C95") != "0")
        Fault(counts, "a fresh sender could not send");
    std::string heard = sim.Command("capture 0 A packets 1 5000");
    std::printf("fresh sender: the simulator captured '%s'\n", heard.c_str());
    if (heard != "ok 037F3C95") Fault(counts, "a fresh sender was not heard");

    // A fresh receiver hears what arrives right after it opened.
    vt::ChildProcess receiver({vt::BuiltProgram("tests/sharing/vt_sharing_peer")});
    Clock::time_point opened;
    if (receiver.ReadLine() != "ready" || receiver.Ask("in 1") != "0") {
        Fault(counts, "a fresh receiver could not open");
    } else {
        opened = Clock::now();
        sim.Ok("inject 0 B 90 3C 40");
        std::string answer = receiver.Ask("await 1");
        long long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - opened).count();
        std::printf("fresh receiver: %s, %lld ms after it opened\n", answer.c_str(), ms);
        if (answer != "data 1 sysex 0 errors 0") Fault(counts, "a fresh receiver heard nothing");
        if (ms > kFreshReceiveBoundMs) Fault(counts, "a fresh receiver heard late");
    }
    receiver.Send("quit");
    sender.Send("quit");
    if (receiver.Wait() != 0 || sender.Wait() != 0) Fault(counts, "a fresh peer did not end well");

    for (const char* gauge : {"streams_out_a", "streams_out_b", "streams_in", "waiting_in"})
        if (!sim.AwaitAtMost(0, gauge, 0, 5000))
            Fault(counts, std::string("the simulator still has ") + gauge);
    // Every request the kernel side keeps pending is a stream's start.
    auto stats = sim.Stats(0);
    std::printf("simulator: %s\n", sim.Ok("stats 0").c_str());
    unsigned long long running =
        stats["streams_out_a"] + stats["streams_out_b"] + stats["streams_in"];
    std::printf("afterwards: %llu streams running, so %llu requests pending\n", running, running);
    std::vector<std::string> left = Leftovers();
    std::printf("afterwards: %zu files in the root besides the simulator's\n", left.size());
    for (const std::string& f : left)
        Fault(counts, "left in the root: " + f);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        std::fprintf(stderr,
                     "usage: vt_stress [--cycles N] [--seconds S] [--peers P (3 or more)] "
                     "[--seed X]\n");
        return 2;
    }
    std::mt19937 rng(o.seed);
    auto pick = [&](unsigned lo, unsigned hi) { return lo + rng() % (hi - lo + 1); };
    Counts counts;
    {
        vt::Simulator sim("--nodes 0 --rate fast");
        std::vector<Peer> peers;
        Clock::time_point start = Clock::now();
        auto due = start + std::chrono::seconds(o.seconds);
        unsigned cycle = 0;
        while (cycle < o.cycles || Clock::now() < due) {
            while (peers.size() < o.peers) {
                Peer p;
                p.process = std::make_unique<vt::ChildProcess>(
                    std::vector<std::string>{vt::BuiltProgram("tests/sharing/vt_sharing_peer")});
                p.endsByItself = pick(0, 9) < 3;
                p.process->Send("auto " + std::to_string(rng()) + " " +
                                (p.endsByItself ? std::to_string(pick(5, 40)) : "0"));
                p.heardAt = Clock::now();
                p.endAt = p.heardAt + std::chrono::milliseconds(pick(20, 300));
                peers.push_back(std::move(p));
                ++counts.started;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            for (size_t i = 0; i < peers.size();) {
                Peer& p = peers[i];
                Hear(&p, &counts);
                Clock::time_point now = Clock::now();
                if (now - p.heardAt > std::chrono::milliseconds(kCallBoundMs)) {
                    Fault(&counts, "a peer was silent for " + std::to_string(kCallBoundMs) +
                                       " ms (a call that does not return)");
                    p.heardAt = now;
                }
                bool exited = false;
                if (p.endsByItself) {
                    std::vector<std::string> none;
                    exited = !p.process->ReadAvailable(&none);
                    if (exited) {
                        Hear(&p, &counts);
                        if (p.process->Wait() != 0) Fault(&counts, "a peer ended badly");
                        ++counts.ended;
                    }
                } else if (now >= p.endAt) {
                    p.process->Kill();
                    ++counts.killed;
                    exited = true;
                }
                if (exited) {
                    peers.erase(peers.begin() + static_cast<long>(i));
                    ++cycle;
                } else {
                    ++i;
                }
            }
        }
        for (Peer& p : peers) {
            p.process->Kill();
            ++counts.killed;
        }
        peers.clear();
        CheckAfterwards(sim, &counts);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf(
            "%u cycles in %.1f s, %u applications at once: %u started, %u killed, %u "
            "ended by themselves\n",
            cycle, seconds, o.peers, counts.started, counts.killed, counts.ended);
    }
    std::printf("calls (name result: count):");
    for (const auto& [key, n] : counts.calls)
        std::printf(" %s: %u,", key.c_str(), n);
    std::printf("\nslowest call: %lld ms (bound %d ms)\n", counts.slowestMs, kCallBoundMs);
    std::printf("%s: %u faults\n", counts.faults ? "FAILED" : "passed", counts.faults);
    return counts.faults ? 1 : 0;
}
