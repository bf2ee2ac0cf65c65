// The control socket's answers to commands that cannot be carried out, the
// commands that wait, and the simulator's life as a process: ready, quit,
// signals, its sockets.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "sim/sim.h"
#include "tests/sim/sim_test.h"

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

TEST(SimControl, RefusedCommandsSayWhatWasWrong) {
    vt::Simulator sim("--nodes 0");
    const struct {
        const char* command;
        const char* answer;
    } cases[] = {
        {"stats 9", "error unknown node 9"},
        {"stats x", "error unknown node x"},
        {"stats", "error stats needs a node"},
        {"stats 1", "error node 1 is not plugged"},
        {"inject 1 A 90", "error node 1 is not plugged"},
        {"plug 0", "error node 0 is already plugged"},
        {"plug 2 12345 1", "error bad vendor id '12345'"},
        {"plug 2 1209 zz", "error bad product id 'zz'"},
        {"descriptor 0 1209", "error usage: descriptor N VID PID"},
        {"rate 0 slow", "error usage: rate N wire|fast|paused"},
        {"loopback 0 maybe", "error usage: loopback N on|off"},
        {"inject 0 C 90", "error usage: inject N A|B HEX..."},
        {"inject 0 A", "error inject needs bytes in hex"},
        {"inject 0 A 9", "error inject needs bytes in hex"},
        {"inject 0 A 9G", "error inject needs bytes in hex"},
        {"packet 0", "error usage: packet N HEX32..."},
        {"packet 0 123456789", "error bad packet '123456789'"},
        {"packet 0 00403C90", "error packet 00403C90 has no count"},
        {"capture 0 A words",
         "error usage: capture N A|B bytes|packets|timed [COUNT [TIMEOUT_MS]]"},
        {"capture 0 A packets x", "error bad count 'x'"},
        {"capture 0 B bytes 3145729", "error a capture keeps at most 3145728 bytes"},
        {"await 0 stop", "error usage: await N KEY [at-most] VALUE [TIMEOUT_MS]"},
        {"await 0 stops 1", "error unknown counter 'stops'"},
        {"await 0 stop -1", "error bad value '-1'"},
        {"await 0 stop 1 600001", "error bad timeout '600001' (0 to 600000 ms)"},
        {"fail 0 everything",
         "error unknown fault 'everything' (descriptor-short, wrong-vendor, "
         "start-immediate, start-no-cookie)"},
        {"unplug 0 now", "error usage: unplug N"},
        {"frobnicate 0", "error unknown command 'frobnicate' (help lists them)"},
        {"", "error empty command"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim.Command(c.command), c.answer) << c.command;
    // Nothing of that changed node 0 or plugged node 2.
    auto st = sim.Stats(0);
    EXPECT_EQ(st["produced_in"], 0u);
    EXPECT_EQ(st["vendor"], kExpectedVendorId);
    EXPECT_EQ(sim.Command("stats 2"), "error node 2 is not plugged");
    EXPECT_FALSE(Exists(devwire::DevicePath(vt::TestRoot(), 2)));
}

TEST(SimControl, CommandsTakeEffectOnTheirNodeOnly) {
    vt::Simulator sim("--nodes 0,1");
    sim.Ok("fail 1 wrong-vendor");
    sim.Ok("descriptor 1 0x1 0x2");
    simtest::DeviceConnection c0;
    ASSERT_TRUE(c0.Open(vt::TestRoot(), 0));
    simtest::Answer a = c0.Call(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, 18);
    ASSERT_EQ(a.data.size(), 18u);
    EXPECT_EQ(a.data[8] | a.data[9] << 8, kExpectedVendorId);
    auto st = sim.Stats(1);
    EXPECT_EQ(st["vendor"], 1u);
    EXPECT_EQ(st["product"], 2u);
    EXPECT_EQ(st["descriptor"], 0u);
    // Several clients at once, each with its own answers.
    sim::ControlClient x, y;
    std::string error, ax, ay;
    ASSERT_TRUE(x.Connect(vt::TestRoot(), &error)) << error;
    ASSERT_TRUE(y.Connect(vt::TestRoot(), &error)) << error;
    ASSERT_TRUE(x.Command("stats 9", &ax, &error));
    ASSERT_TRUE(y.Command("stats 0", &ay, &error));
    EXPECT_EQ(ax, "error unknown node 9");
    EXPECT_EQ(ay.rfind("ok descriptor=1 ", 0), 0u) << ay;
}

// A control connection spoken to directly: several lines in one write, the
// answers read one by one.
class RawControl {
  public:
    RawControl() {
        std::string path = devwire::ControlPath(vt::TestRoot());
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    ~RawControl() { close(fd_); }
    void Send(const std::string& text) {
        EXPECT_EQ(send(fd_, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    std::string ReadLine() {
        size_t nl;
        while ((nl = in_.find('\n')) == std::string::npos) {
            pollfd pfd{fd_, POLLIN, 0};
            char buf[4096];
            ssize_t n = poll(&pfd, 1, 20000) == 1 ? recv(fd_, buf, sizeof buf, 0) : -1;
            if (n <= 0) return "(no answer)";
            in_.append(buf, static_cast<size_t>(n));
        }
        std::string line = in_.substr(0, nl);
        in_.erase(0, nl + 1);
        return line;
    }

  private:
    int fd_ = -1;
    std::string in_;
};

// Output A of node 0 streaming a block that holds two packets, 90 3C 40 and
// F8, for a simulator started paused.
class TwoPacketsOnOutputA {
  public:
    TwoPacketsOnOutputA() {
        EXPECT_TRUE(conn_.Open(vt::TestRoot(), 0));
        MidiFifo* f = mem_.Init(0);
        EXPECT_EQ(conn_.Start(kPipeOutA, mem_, 0).reply.fPending, 1u);
        EXPECT_TRUE(simtest::Produce(f, 0x03403C90));
        EXPECT_TRUE(simtest::Produce(f, 0x010000F8));
    }

  private:
    simtest::BlockMemory mem_;
    simtest::DeviceConnection conn_;
};

// Output A of node 0 holds two packets while paused: "rate 0 fast" drains
// them. Each command goes behind a stats line in the same write, so that it
// waits already when the stats answer comes back; the other client's command
// then runs while it waits, and a line behind it is answered after it.
TEST(SimControl, WaitingCommandsAnswerOnceTheirConditionHolds) {
    const struct {
        const char* command;
        const char* meanwhile;  // from another client, "" none
        const char* answer;
    } cases[] = {
        {"await 0 drained_out_a 0", "", "ok drained_out_a=0"},
        {"await 0 drained_out_a 2", "rate 0 fast", "ok drained_out_a=2"},
        {"capture 0 A packets 2", "rate 0 fast", "ok 03403C90 010000F8"},
        {"capture 0 A bytes 4 60000", "rate 0 fast", "ok 90 3C 40 F8"},
        {"await 0 drained_out_a 3 50", "rate 0 fast",
         "error timeout after 50 ms: drained_out_a=2 (awaited 3)"},
        {"capture 0 A packets 3 50", "rate 0 fast",
         "error timeout after 50 ms: 2 packets captured (awaited 3)"},
        {"await 0 stop 1 0", "", "error timeout after 0 ms: stop=0 (awaited 1)"},
        {"await 0 drained_out_a at-most 0", "", "ok drained_out_a=0"},
        {"await 0 streams_out_a at-most 0 50", "",
         "error timeout after 50 ms: streams_out_a=1 (awaited at most 0)"},
        {"await 0 drained_out_a 1", "unplug 0", "error node 0 was unplugged"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        vt::Simulator sim("--nodes 0 --rate paused --no-loopback");
        TwoPacketsOnOutputA output;
        RawControl waiter;
        waiter.Send(std::string("stats 0\n") + c.command + "\nstats 9\n");
        EXPECT_EQ(waiter.ReadLine().rfind("ok descriptor=", 0), 0u);
        if (*c.meanwhile) sim.Ok(c.meanwhile);
        EXPECT_EQ(waiter.ReadLine(), c.answer);
        EXPECT_EQ(waiter.ReadLine(), "error unknown node 9");
    }
}

// A timed capture stamps each packet with the simulator's clock when it left
// the ring: at wire rate the second waits for the first's three bytes.
TEST(SimControl, TimedCaptureAndHelp) {
    vt::Simulator sim("--nodes 0 --rate paused --no-loopback");
    TwoPacketsOnOutputA output;
    sim.Ok("rate 0 wire");
    unsigned long long t1 = 0, t2 = 0;
    char p1[9] = {}, p2[9] = {};
    std::string answer = sim.Ok("capture 0 A timed 2");
    ASSERT_EQ(std::sscanf(answer.c_str(), "%llu:%8s %llu:%8s", &t1, p1, &t2, p2), 4) << answer;
    EXPECT_STREQ(p1, "03403C90");
    EXPECT_STREQ(p2, "010000F8");
    EXPECT_GE(t2 - t1, 3u * 320u) << answer;

    std::string help = sim.Ok("help");
    for (const char* syntax : {"plug N [VID PID]; ", "; capture N A|B bytes|packets|timed ",
                               "; await N KEY [at-most] VALUE [TIMEOUT_MS]; ", "; quit"})
        EXPECT_NE(help.find(syntax), std::string::npos) << syntax << " in " << help;
}

TEST(SimProcess, ServesItsSocketsUntilQuitAndRemovesThem) {
    const std::string root = vt::TestRoot();
    {
        vt::ChildProcess child({VT_VELTRANE_EXE, "sim", "--exit-with-parent", "--nodes", "2,5"});
        ASSERT_EQ(child.ReadLine(), "ready");
        EXPECT_TRUE(Exists(devwire::ControlPath(root)));
        EXPECT_TRUE(Exists(devwire::DevicePath(root, 2)));
        EXPECT_TRUE(Exists(devwire::DevicePath(root, 5)));
        EXPECT_FALSE(Exists(devwire::DevicePath(root, 0)));
        sim::ControlClient c;
        std::string error, answer;
        ASSERT_TRUE(c.Connect(root, &error)) << error;
        ASSERT_TRUE(c.Command("quit", &answer, &error)) << error;
        EXPECT_EQ(answer, "ok");
        EXPECT_EQ(child.Wait(), 0);
    }
    EXPECT_FALSE(Exists(devwire::ControlPath(root)));
    EXPECT_FALSE(Exists(devwire::DevicePath(root, 2)));
    EXPECT_FALSE(Exists(devwire::DevicePath(root, 5)));

    for (int sig : {SIGTERM, SIGINT}) {
        vt::ChildProcess child({VT_VELTRANE_EXE, "sim", "--exit-with-parent"});
        ASSERT_EQ(child.ReadLine(), "ready");
        EXPECT_TRUE(Exists(devwire::DevicePath(root, 0)));
        kill(child.pid(), sig);
        EXPECT_EQ(child.Wait(), 0) << sig;
        EXPECT_FALSE(Exists(devwire::DevicePath(root, 0))) << sig;
        EXPECT_FALSE(Exists(devwire::ControlPath(root))) << sig;
    }
}

TEST(SimProcess, RefusesASecondServerOfTheSameRootAndBadArguments) {
    vt::Simulator sim("--nodes 0");
    vt::ChildProcess second({VT_VELTRANE_EXE, "sim", "--exit-with-parent", "--nodes", "1"});
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_FALSE(Exists(devwire::DevicePath(vt::TestRoot(), 1)));
    EXPECT_EQ(sim.Stats(0)["descriptor"], 0u);  // the first one serves on

    const std::vector<std::vector<std::string>> bad = {
        {"--nodes", "8"},   {"--nodes", "0,,1"}, {"--nodes", "1,"},
        {"--rate", "slow"}, {"--rate"},          {"--frob"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv{VT_VELTRANE_EXE, "sim"};
        argv.insert(argv.end(), args.begin(), args.end());
        vt::ChildProcess child(argv);
        EXPECT_EQ(child.Wait(), 2) << args[0];
    }
    vt::ChildProcess help({VT_VELTRANE_EXE, "sim", "--help"});
    EXPECT_EQ(help.ReadLine().rfind("usage: veltrane sim", 0), 0u);
    EXPECT_EQ(help.Wait(), 0);
}

}  // namespace
