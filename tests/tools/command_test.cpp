// The veltrane command end to end: send and monitor in two processes through
// the simulator's loopback, the loop test, and the one-line hint when no
// simulator runs.
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

namespace {

// Runs the command to the end; answers its exit status and fills *out with
// everything it printed, stderr included.
int RunCommand(const std::string& args, std::string* out) {
    vt::ChildProcess child(
        {"/bin/sh", "-c", std::string("exec ") + VT_VELTRANE_EXE + " " + args + " 2>&1"});
    out->clear();
    try {
        for (;;)
            *out += child.ReadLine(60000) + "\n";
    } catch (const std::runtime_error&) {
        // the command closed its output
    }
    return child.Wait(60000);
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

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

    // Output A loops back to input A only: nothing reaches input B.
    EXPECT_EQ(RunCommand("loop -o Out-A -i In-B --count 20", &out), 1) << out;
    EXPECT_TRUE(Contains(out, "sent 20, received 0, lost 20")) << out;
}

TEST(Command, ListShowsBothDirections) {
    vt::Simulator sim("--nodes 0,1");
    std::string out;
    ASSERT_EQ(RunCommand("list", &out), 0) << out;
    EXPECT_EQ(out,
              "Dir ID  Name\n"
              "OUT 0   Out-A2 Veltrane\n"
              "OUT 1   Out-B2 Veltrane\n"
              "OUT 2   Out-A1 Veltrane\n"
              "OUT 3   Out-B1 Veltrane\n"
              "IN  0   In-A2 Veltrane\n"
              "IN  1   In-B2 Veltrane\n"
              "IN  2   In-A1 Veltrane\n"
              "IN  3   In-B1 Veltrane\n");
    ASSERT_EQ(RunCommand("-l", &out), 0) << out;
    EXPECT_TRUE(Contains(out, "IN  3   In-B1 Veltrane"));
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
        {"send 90 3C 40", 2, "give -p PORT"},
        {"send -p 7 90 3C 40", 1, "no port with ID 7 (there are 2)"},
        {"send -p Veltrane 90 3C 40", 1, "ambiguous"},
        {"monitor -p nothing", 1, "no port matches 'nothing'"},
        {"loop -o 0 -i 0 --count 0", 2, "--count takes"},
        {"loop -o 0 -i 0 --sysex 4096M", 2, "--sysex takes a size from 4 bytes to 16777216"},
        {"loop -o 0", 2, "give -o PORT and -i PORT"},
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
    for (const char* sub : {"list", "send", "monitor", "loop", "demo"}) {
        std::string out;
        EXPECT_EQ(RunCommand(std::string(sub) + " --help", &out), 0) << sub;
        EXPECT_TRUE(Contains(out, std::string("usage: veltrane ") + sub)) << out;
    }
}

TEST(Command, WithoutASimulatorSaysHowToStartOne) {
    auto expectHint = [] {
        for (const char* args : {"list", "send -p 0 90 3C 40", "monitor -p 0", "loop -o 0 -i 0"}) {
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
