// The veltrane command end to end: send and monitor in two processes through
// the simulator's loopback, the loop test, the port list and its selectors,
// usage errors, and the one-line hint when no simulator runs.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <string>
#include <vector>

#include "host/os/devwire.h"
#include "tests/support/sim_process.h"
#include "tests/support/support.h"
#include "tests/tools/run_command.h"

namespace {

using vttools::Contains;
using vttools::RunCommand;

TEST(Command, SendAndMonitorInTwoProcesses) {
    vt::Simulator sim("--nodes 0 --rate fast");
    vt::ChildProcess monitor({VT_VELTRANE_EXE, "monitor", "-p", "In-A"});
    std::string first = monitor.ReadLine();
    ASSERT_TRUE(Contains(first, "Waiting for data on In-A Veltrane (ID 0)")) << first;

    std::string out;
    ASSERT_EQ(RunCommand("send -p out-a 90 3C 40 3C 00 B0 07 64 F0 7D 01 02 F7 E0 00 40", &out), 0)
        << out;
    EXPECT_EQ(out, "") << "send prints nothing when all went well";
    const char* expected[] = {
        "Note on          ch 1   C4  (60) velocity 64",
        "Note on          ch 1   C4  (60) velocity 0",
        "Control change   ch 1   controller 7 value 100",
        "SysEx            5 bytes  F0 7D 01 02 F7",
        "Pitch bend       ch 1   value 0",
    };
    unsigned last = 0;
    for (const char* e : expected) {
        std::string line = monitor.ReadLine();
        EXPECT_TRUE(Contains(line, e)) << line;
        // The time stamp comes first and never goes back.
        unsigned t = std::stoul(line);
        EXPECT_GE(t, last);
        last = t;
    }
    // Ctrl-C: a clean stop with status 0, and nothing more was printed.
    kill(monitor.pid(), SIGINT);
    EXPECT_EQ(monitor.Wait(), 0);
}

TEST(Command, MonitorRawAndSysexFile) {
    vt::Simulator sim("--nodes 0 --rate fast");
    vt::ChildProcess monitor({VT_VELTRANE_EXE, "monitor", "-p", "1", "--raw"});
    ASSERT_TRUE(Contains(monitor.ReadLine(), "In-B Veltrane"));
    std::string file = vt::TestRoot() + "/two.syx";
    FILE* f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<BYTE> bytes = vt::Hex("F0 7D 10 11 12 F7 F0 7D 20 F7");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    std::string out;
    ASSERT_EQ(RunCommand("send -p Out-B --sysex-file " + file, &out), 0) << out;
    EXPECT_TRUE(Contains(monitor.ReadLine(), "  F0 7D 10 11 12 F7"));
    EXPECT_TRUE(Contains(monitor.ReadLine(), "  F0 7D 20 F7"));
    kill(monitor.pid(), SIGTERM);
    EXPECT_EQ(monitor.Wait(), 0);
}

TEST(Command, LoopIsCleanOverTheLoopbackAndCountsLossWithout) {
    vt::Simulator sim("--nodes 0 --rate fast");
    std::string out;
    EXPECT_EQ(RunCommand("loop -o Out-A -i In-A --count 3000 --sysex 8K", &out), 0) << out;
    EXPECT_TRUE(Contains(out, "sent 3000, received 3000, lost 0, corrupted 0, reordered 0")) << out;
    EXPECT_TRUE(Contains(out, "sent 8192 bytes, received 8192, lost 0, corrupted 0")) << out;
    EXPECT_TRUE(Contains(out, "latency ms: min ")) << out;

    // Output A loops back to input A only: nothing reaches input B, and the
    // test ends after one quiet spell, not one per message.
    EXPECT_EQ(RunCommand("loop -o Out-A -i In-B --count 1000", &out), 1) << out;
    EXPECT_TRUE(Contains(out, "sent 64, received 0, lost 64")) << out;
    EXPECT_TRUE(Contains(out,
                         "nothing received for 2 s: is Out-A Veltrane looped to In-B "
                         "Veltrane?"))
        << out;
    EXPECT_FALSE(Contains(out, "latency")) << out;
    EXPECT_EQ(RunCommand("loop -o Out-A -i In-A --count 10 --sysex 100 --json", &out), 0) << out;
    EXPECT_EQ(out.rfind("{\"output\":\"Out-A Veltrane\",\"input\":\"In-A Veltrane\",\"short\":{"
                        "\"sent\":10,\"received\":10,\"lost\":0,",
                        0),
              0u)
        << out;
    EXPECT_TRUE(Contains(out,
                         "\"sysex\":{\"bytes\":100,\"received\":100,\"lost\":0,"
                         "\"corrupted\":0,\"complete\":true,"))
        << out;
    EXPECT_TRUE(Contains(out, "\"silent\":false,\"ok\":true}\n")) << out;
}

TEST(Command, PacedLoopGivesEachLatencyAgainstTheWire) {
    vt::Simulator sim("--nodes 0 --rate fast");
    std::string out;
    EXPECT_EQ(RunCommand("loop -o Out-A -i In-A --count 50 --interval 2", &out), 0) << out;
    EXPECT_TRUE(Contains(out, "loop: 50 short messages 2 ms apart (and up to 1 ms more)")) << out;
    EXPECT_TRUE(Contains(out, "sent 50, received 50, lost 0, corrupted 0, reordered 0")) << out;
    EXPECT_TRUE(Contains(out, " max ")) << out;
    EXPECT_TRUE(Contains(out, "(wire 0.96)\n")) << out;
    EXPECT_TRUE(Contains(out, " ms       ")) << "no histogram:\n" << out;
    EXPECT_EQ(RunCommand("loop -o Out-A -i In-A --count 5 --interval 1.5 --json", &out), 0) << out;
    EXPECT_TRUE(Contains(out, "\"interval_ms\":1.500,\"phase_ms\":1.000,\"wire_ms\":0.960,"))
        << out;
    EXPECT_TRUE(Contains(out, "\"histogram\":[{\"from_ms\":")) << out;
    EXPECT_TRUE(Contains(out, "\"silent\":false,\"ok\":true}\n")) << out;
}

TEST(Command, LoopStopsAtOnceOnCtrlC) {
    vt::Simulator sim("--nodes 0 --rate wire");
    vt::ChildProcess loop = vttools::StartCommand("loop -o Out-A -i In-A --count 200000");
    ASSERT_TRUE(Contains(loop.ReadLine(), "loop: 200000 short messages"));
    ASSERT_TRUE(sim.Await(0, "drained_out_a", 100));
    kill(loop.pid(), SIGINT);
    std::string line = loop.ReadLine();
    EXPECT_EQ(line.rfind("interrupted after ", 0), 0u) << line;
    EXPECT_TRUE(Contains(line, " sent, ")) << line;
    EXPECT_EQ(loop.Wait(), 130);
}

TEST(Command, ListShowsBothDirections) {
    vt::Simulator sim("--nodes 0,1");
    std::string out;
    ASSERT_EQ(RunCommand("list", &out), 0) << out;
    EXPECT_EQ(out,
              "Dir ID  Node Port     Name\n"
              "OUT 0   0    0:out-a  Out-A2 Veltrane\n"
              "OUT 1   0    0:out-b  Out-B2 Veltrane\n"
              "OUT 2   1    1:out-a  Out-A1 Veltrane\n"
              "OUT 3   1    1:out-b  Out-B1 Veltrane\n"
              "IN  0   0    0:in-a   In-A2 Veltrane\n"
              "IN  1   0    0:in-b   In-B2 Veltrane\n"
              "IN  2   1    1:in-a   In-A1 Veltrane\n"
              "IN  3   1    1:in-b   In-B1 Veltrane\n");
    ASSERT_EQ(RunCommand("-l", &out), 0) << out;
    EXPECT_TRUE(Contains(out, "IN  3   1    1:in-b   In-B1 Veltrane"));

    // With node 0 gone the names and IDs shift; the selector stays.
    sim.Ok("unplug 0");
    ASSERT_EQ(RunCommand("list --json", &out), 0) << out;
    EXPECT_EQ(
        out,
        "{\"outputs\":[{\"id\":0,\"name\":\"Out-A Veltrane\",\"node\":1,\"port\":\"1:out-a\"},"
        "{\"id\":1,\"name\":\"Out-B Veltrane\",\"node\":1,\"port\":\"1:out-b\"}],"
        "\"inputs\":[{\"id\":0,\"name\":\"In-A Veltrane\",\"node\":1,\"port\":\"1:in-a\"},"
        "{\"id\":1,\"name\":\"In-B Veltrane\",\"node\":1,\"port\":\"1:in-b\"}]}\n");
    ASSERT_EQ(RunCommand("send -p 1:out-b 90 3C 40", &out), 0) << out;
    EXPECT_EQ(vt::HexString(sim.CaptureBytes(1, 'B')), "90 3C 40");
}

TEST(Command, UsageErrorsAndMissingPorts) {
    vt::Simulator sim("--nodes 0");
    struct Case {
        const char* args;
        int status;
        const char* says;
    } cases[] = {
        {"send -p Out-A 90 3C", 2, "incomplete"},
        {"send -p Out-A 9G", 2, "not hex bytes"},
        {"send -p Out-A note-on 1 60", 2, "not hex bytes: 'note-on' (named messages start with"},
        {"send 90 3C 40", 2, "give -p PORT"},
        {"send -p 7 90 3C 40", 1, "no port with ID 7 (there are 2)"},
        {"send -p Veltrane 90 3C 40", 1, "ambiguous"},
        {"monitor -p nothing", 1, "no port matches 'nothing'"},
        {"send -p In-A 90 3C 40", 1, "In-A Veltrane is an input, not an output ('In-A')"},
        {"monitor -p 0:out-b", 1, "Out-B Veltrane is an output, not an input ('0:out-b')"},
        {"record -p 3:in-a x.mid", 1, "no interface on device node 3 ('3:in-a')"},
        {"send -p Out-A on C4", 2, "'on' needs a note and a velocity"},
        {"monitor -p 0 --channel 17", 2, "--channel takes 1 to 16"},
        {"monitor -p 0 --type notes", 2, "unknown message type 'notes'"},
        {"receive -p 0", 2, "give -p PORT and -o FILE"},
        {"play -p 0", 2, "give -p PORT and a FILE"},
        {"ctl", 2, "give a command"},
        {"ctl stats 9", 1, "error unknown node 9"},
        {"loop -o 0 -i 0 --count 0", 2, "--count takes"},
        {"loop -o 0 -i 0 --sysex 4096M", 2, "--sysex takes a size from 4 bytes to 16777216"},
        {"loop -o 0", 2, "give -o PORT and -i PORT"},
        {"loop -o 0 -i 0 --interval 0", 2, "--interval takes 0.1 to 1000 ms"},
        {"loop -o 0 -i 0 --interval 2ms", 2, "--interval takes 0.1 to 1000 ms"},
        {"frobnicate", 2, "unknown command"},
        {"install", 1, "veltrane install: for Windows only"},
        {"status", 1, "veltrane status: for Windows only"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(RunCommand(c.args, &out), c.status) << c.args << "\n" << out;
        EXPECT_TRUE(Contains(out, c.says)) << c.args << "\n" << out;
    }
    // The installer's commands are Windows-only: not offered here.
    std::string help;
    EXPECT_EQ(RunCommand("--help", &help), 0);
    EXPECT_FALSE(Contains(help, "install")) << help;
    for (const char* sub :
         {"list", "send", "play", "monitor", "record", "receive", "loop", "demo", "ctl"}) {
        std::string out;
        EXPECT_EQ(RunCommand(std::string(sub) + " --help", &out), 0) << sub;
        EXPECT_TRUE(Contains(out, std::string("usage: veltrane ") + sub)) << out;
    }
    std::string out;
    EXPECT_EQ(RunCommand("--version", &out), 0);
    EXPECT_EQ(out.rfind("veltrane 4.1.13 (Veltrane MIDI driver 4.1.13)\nbuild ", 0), 0u) << out;
    EXPECT_EQ(RunCommand("ctl help", &out), 0);
    EXPECT_EQ(out.rfind("ok plug N [VID PID]; unplug N; ", 0), 0u) << out;
}

TEST(Command, WithoutASimulatorSaysHowToStartOne) {
    auto expectHint = [] {
        for (const char* args : {"list", "send -p 0 90 3C 40", "monitor -p 0", "loop -o 0 -i 0",
                                 "record -p 0 x.mid", "receive -p 0 -o x.syx", "ctl stats 0"}) {
            std::string out;
            EXPECT_EQ(RunCommand(args, &out), 1) << args;
            EXPECT_EQ(out, "veltrane: no simulator is running under " + vt::TestRoot() +
                               " (start one with `veltrane sim &`, or try `veltrane demo`)\n")
                << args;
        }
    };
    // No simulator serves this root.
    expectHint();
    // A simulator that was killed leaves its control socket behind, served
    // by nobody.
    std::string path = devwire::ControlPath(vt::TestRoot());
    sockaddr_un addr;
    ASSERT_TRUE(devwire::SocketAddress(path, &addr));
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
    expectHint();
    unlink(path.c_str());
}

}  // namespace
