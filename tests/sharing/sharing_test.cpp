// Several applications on one interface, as musicians run them: one killed
// in the middle of what it does, two sending long data at once, an interface
// unplugged and plugged back, a kernel side that stops answering. Whatever one
// process does or suffers, the others' data arrives whole and nothing hangs.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <sstream>

#include "host/os/mmsystem_base.h"
#include "tests/support/sim_process.h"
#include "tests/support/support.h"
#include "tests/tools/run_command.h"

namespace {

using vttools::Contains;
using vttools::RunCommand;
using vttools::StartCommand;

// An application (sharing_peer.cpp), once it has loaded the driver.
vt::ChildProcess Peer() {
    vt::ChildProcess peer({vt::BuiltProgram("tests/sharing/vt_sharing_peer")});
    EXPECT_EQ(peer.ReadLine(), "ready");
    return peer;
}

// A file of one system-exclusive message of cb bytes: F0 7D, data from
// first counting up, F7.
std::vector<BYTE> SysexBytes(size_t cb, BYTE first) {
    std::vector<BYTE> bytes(cb);
    for (size_t i = 0; i < cb; ++i)
        bytes[i] = static_cast<BYTE>((first + i) & 0x7F);
    bytes[0] = 0xF0;
    bytes[1] = 0x7D;
    bytes[cb - 1] = 0xF7;
    return bytes;
}

std::string WriteFile(const std::string& name, const std::vector<BYTE>& bytes) {
    std::string path = vt::TestRoot() + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    return path;
}

// Whether the port's receiver hears packet, among whatever it drains first.
::testing::AssertionResult Hears(vt::Simulator& sim, unsigned node, char port, uint32_t packet) {
    std::string line = "capture " + std::to_string(node) + " " + port + " packets 1 10000";
    for (;;) {
        std::string answer = sim.Command(line);
        if (answer.rfind("ok", 0) != 0)
            return ::testing::AssertionFailure() << "not heard, the simulator says: " << answer;
        std::istringstream in(answer.substr(2));
        std::string w;
        while (in >> w)
            if (std::stoul(w, nullptr, 16) == packet) return ::testing::AssertionSuccess();
    }
}

TEST(DeadHolder, AFreshSenderIsHeardAfterOneKilledInTheMiddleOfASysex) {
    vt::Simulator sim("--nodes 0 --no-loopback");  // the wire rate: 4 KB take 1.3 s
    // Another application keeps using the interface throughout.
    vt::ChildProcess bystander = Peer();
    ASSERT_EQ(bystander.Ask("in 0"), "0");
    std::string syx = WriteFile("4k.syx", SysexBytes(4096, 0));
    vt::ChildProcess send = StartCommand("send -p 0:out-a --sysex-file " + syx);
    ASSERT_TRUE(sim.Await(0, "drained_out_a", 100));
    send.Kill();

    std::string out;
    EXPECT_EQ(RunCommand("send -p 0:out-a 90 3C 40", &out), 0) << out;
    EXPECT_TRUE(Hears(sim, 0, 'A', 0x03403C90));
    // The dead sender's share of the interface was given back: once the
    // bystander lets go too, the next sender is the first to acquire it.
    EXPECT_EQ(bystander.Ask("closein"), "0");
    EXPECT_EQ(RunCommand("send -p 0:out-a 90 3C 41", &out), 0) << out;
    EXPECT_EQ(sim.Stats(0)["first_acquire"], 2u);
}

TEST(DeadHolder, MessagesOfASharedStreamKeepArrivingWhenItsCarrierIsKilled) {
    vt::Simulator sim("--nodes 0 --no-loopback");  // the wire rate: the ring is full when it dies
    vt::ChildProcess carrier = Peer();
    vt::ChildProcess sender = Peer();
    ASSERT_EQ(carrier.Ask("out 0"), "0");
    ASSERT_EQ(sender.Ask("out 0"), "0");
    ASSERT_EQ(sim.Stats(0)["start_out_a"], 1u);  // the sender joined the carrier's stream

    sender.Send("notes 2 3000");
    ASSERT_TRUE(sim.Await(0, "drained_out_a", 500));
    carrier.Kill();
    EXPECT_EQ(sender.ReadLine(), "sent 3000");
    std::vector<uint32_t> packets = sim.CapturePackets(0, 'A', 3000);
    ASSERT_EQ(packets.size(), 3000u);
    for (uint32_t i = 0; i < packets.size(); ++i)
        ASSERT_EQ(packets[i], 0x03003C92u | (i % 128) << 16) << "packet " << i;
    EXPECT_EQ(sim.Stats(0)["start_out_a"], 2u);  // started again, once
}

TEST(DeadHolder, OthersSendAndReceiveAfterOneIsKilledInACallbackHoldingTheLock) {
    vt::Simulator sim("--nodes 0 --rate fast");  // outputs looped back to the inputs
    vt::ChildProcess dying = Peer();
    vt::ChildProcess other = Peer();
    for (vt::ChildProcess* p : {&dying, &other}) {
        ASSERT_EQ(p->Ask("out 0"), "0");
        ASSERT_EQ(p->Ask("in 0"), "0");
    }
    // Its next input callback takes the lock and never returns.
    dying.Send("lock");
    sim.Ok("inject 0 A 90 3C 40");
    ASSERT_EQ(dying.ReadLine(), "locked");
    other.Send("notes 2 500");  // waits for the lock
    dying.Kill();
    EXPECT_EQ(other.ReadLine(), "sent 500");
    EXPECT_EQ(other.Ask("await 501"), "data 501 sysex 0 errors 0");

    vt::ChildProcess late = Peer();
    ASSERT_EQ(late.Ask("out 0"), "0");
    ASSERT_EQ(late.Ask("in 0"), "0");
    EXPECT_EQ(late.Ask("notes 3 100"), "sent 100");
    EXPECT_EQ(late.Ask("await 100"), "data 100 sysex 0 errors 0");
    EXPECT_EQ(other.Ask("await 601"), "data 601 sysex 0 errors 0");
}

TEST(LongData, TwoProcessesSysexToOnePortArriveWholeOneAfterTheOther) {
    vt::Simulator sim("--nodes 0 --no-loopback");  // the wire rate: 1.3 s each, so they overlap
    std::vector<BYTE> a = SysexBytes(4096, 0x11), b = SysexBytes(4096, 0x22);
    vt::ChildProcess sendA = StartCommand("send -p 0:out-a --sysex-file " + WriteFile("a.syx", a));
    vt::ChildProcess sendB = StartCommand("send -p 0:out-a --sysex-file " + WriteFile("b.syx", b));
    EXPECT_EQ(sendA.Wait(), 0);
    EXPECT_EQ(sendB.Wait(), 0);
    std::string wire = sim.Ok("capture 0 A bytes 8192 20000");
    std::vector<BYTE> ab = a, ba = b;
    ab.insert(ab.end(), b.begin(), b.end());
    ba.insert(ba.end(), a.begin(), a.end());
    EXPECT_TRUE(wire == vt::HexString(ab) || wire == vt::HexString(ba))
        << "the two messages were mixed: " << wire.substr(0, 600);
}

// A process that leaves a system-exclusive message unfinished keeps the port
// only until it has written nothing for the stall bound: then another's
// message goes out.
TEST(LongData, AnUnfinishedMessageHoldsThePortOnlyWhileItsWriterWrites) {
    vt::Simulator sim("--nodes 0 --rate fast --no-loopback");
    vt::ChildProcess holder = Peer();
    vt::ChildProcess other = Peer();
    ASSERT_EQ(holder.Ask("out 0"), "0");
    ASSERT_EQ(other.Ask("out 0"), "0");
    ASSERT_EQ(holder.Ask("long F0 7D 01 02"), "0 done");
    EXPECT_EQ(other.Ask("short 403C90"), "0");  // waits for the holder, then goes
    EXPECT_EQ(holder.Ask("long 03 F7"), "0 done");
    EXPECT_EQ(sim.Ok("capture 0 A bytes 9"), "F0 7D 01 02 90 3C 40 03 F7");
}

TEST(Unplug, AnOpenMonitorAndSenderSurviveAnUnplugAndReplug) {
    vt::Simulator sim("--nodes 0 --rate fast");
    vt::ChildProcess monitor = StartCommand("monitor -p 0:in-a");
    ASSERT_TRUE(Contains(monitor.ReadLine(), "Waiting for data on In-A Veltrane"));
    vt::ChildProcess app = Peer();
    ASSERT_EQ(app.Ask("out 0"), "0");
    EXPECT_EQ(app.Ask("short 403C90"), "0");
    EXPECT_TRUE(Contains(monitor.ReadLine(), "Note on          ch 1   C4  (60) velocity 64"));

    sim.Ok("unplug 0");
    std::string line = monitor.ReadLine();
    EXPECT_TRUE(Contains(line, "interface removed")) << line;
    // Nothing reaches the wire: an error, never 0, and long data handed back.
    EXPECT_EQ(app.Ask("short 403C91"), std::to_string(MMSYSERR_NODRIVER));
    EXPECT_EQ(app.Ask("sysex 100"), std::to_string(MMSYSERR_NODRIVER) + " done");

    sim.Ok("plug 0");
    line = monitor.ReadLine();
    EXPECT_TRUE(Contains(line, "interface is back")) << line;
    // The monitor's input streams again without being opened afresh.
    ASSERT_TRUE(sim.Await(0, "streams_in", 1));
    EXPECT_EQ(app.Ask("short 403C92"), "0");
    EXPECT_TRUE(Contains(monitor.ReadLine(), "Note on          ch 3   C4  (60) velocity 64"));
    kill(monitor.pid(), SIGINT);
    EXPECT_EQ(monitor.Wait(), 0);
}

TEST(Unplug, ASendUnderWhichTheInterfaceGoesEndsWithAnError) {
    vt::Simulator sim("--nodes 0 --no-loopback");
    std::string syx = WriteFile("4k.syx", SysexBytes(4096, 0));
    vt::ChildProcess send = StartCommand("send -p 0:out-a --sysex-file " + syx);
    ASSERT_TRUE(sim.Await(0, "drained_out_a", 100));
    sim.Ok("unplug 0");
    std::string line = send.ReadLine();
    EXPECT_TRUE(Contains(line, "interface removed")) << line;
    EXPECT_EQ(send.Wait(), 1);
}

// The last process on a port closes it while the interface is away: its stop
// request cannot go out, and the port is given back all the same.
TEST(Unplug, APortClosedWhileItsInterfaceIsAwayServesTheNextProcess) {
    vt::Simulator sim("--nodes 0 --rate fast --no-loopback");
    vt::ChildProcess leaver = Peer();
    ASSERT_EQ(leaver.Ask("out 0"), "0");
    sim.Ok("unplug 0");
    EXPECT_EQ(leaver.Ask("closeout"), "0");
    sim.Ok("plug 0");

    vt::ChildProcess fresh = Peer();
    ASSERT_EQ(fresh.Ask("out 0"), "0");
    EXPECT_EQ(fresh.Ask("notes 1 300"), "sent 300");
    EXPECT_EQ(sim.CapturePackets(0, 'A', 300).size(), 300u);
}

// Another device on the node is asked who it is when a send or the drain of
// an open input tries to start the stream again, the drain only now and then,
// and never taken.
TEST(Unplug, AForeignDeviceOnTheNodeIsAskedNowAndThenAndNeverTaken) {
    vt::Simulator sim("--nodes 0 --rate fast");
    vt::ChildProcess app = Peer();
    ASSERT_EQ(app.Ask("out 0"), "0");
    ASSERT_EQ(app.Ask("in 0"), "0");
    sim.Ok("unplug 0");
    sim.Ok("plug 0 1234 0001");
    EXPECT_EQ(app.Ask("short 403C91"), std::to_string(MMSYSERR_NODRIVER));
    // Half a second between the drain's tries: the fourth question comes
    // after a second or more, when a try at every tick would have asked a
    // thousand times.
    ASSERT_TRUE(sim.Await(0, "descriptor", 4));
    auto stats = sim.Stats(0);
    EXPECT_LE(stats["descriptor"], 5u);
    EXPECT_EQ(stats["start_in"] + stats["start_out_a"], 0u);
}

// A kernel side that does not answer holds up only the process that waits
// for its answer: the others' messages still go into the ring.
TEST(SlowKernelSide, StallsOnlyTheProcessThatWaitsForIt) {
    vt::Simulator sim("--nodes 0 --rate fast --no-loopback");
    vt::ChildProcess sender = Peer();
    vt::ChildProcess closer = Peer();
    ASSERT_EQ(sender.Ask("out 0"), "0");
    ASSERT_EQ(closer.Ask("out 1"), "0");
    ASSERT_EQ(closer.Ask("notes 1 10"), "sent 10");
    ASSERT_EQ(kill(sim.pid(), SIGSTOP), 0);
    closer.Send("closeout");  // its stop request waits for the kernel side
    EXPECT_EQ(sender.Ask("notes 1 500"), "sent 500");
    EXPECT_EQ(sender.Ask("short 403C91"), "0");
    ASSERT_EQ(kill(sim.pid(), SIGCONT), 0);
    EXPECT_EQ(closer.ReadLine(), "0");
    EXPECT_EQ(sim.CapturePackets(0, 'A', 501).size(), 501u);
}

}  // namespace
