// Two applications writing to one output port at once: the shared ring takes
// packets of both, every packet arrives whole and none is lost.
#include <gtest/gtest.h>

#include <map>

#include "tests/out/out_support.h"
#include "tests/support/sim_process.h"
#include "tests/support/support.h"

namespace {

// A second application, once it has loaded the driver.
vt::ChildProcess Peer() {
    vt::ChildProcess peer({vt::BuiltProgram("tests/out/vt_out_peer")});
    EXPECT_EQ(peer.ReadLine(), "ready");
    return peer;
}

TEST(OutTwoProcesses, SharedPortKeepsEveryPacket) {
    vt::Simulator sim("--nodes 0 --rate fast");
    constexpr int kNotes = 3000;
    vt::ChildProcess p1 = Peer();
    vt::ChildProcess p2 = Peer();
    ASSERT_EQ(p1.Ask("open 0"), "0");
    ASSERT_EQ(p2.Ask("open 0"), "0");
    EXPECT_EQ(sim.Stats(0)["start_out_a"], 1u);  // the second joined the first's stream

    p1.Send("notes 0 1 " + std::to_string(kNotes));
    p2.Send("notes 0 2 " + std::to_string(kNotes));
    EXPECT_EQ(p1.ReadLine(), "sent " + std::to_string(kNotes));
    EXPECT_EQ(p2.ReadLine(), "sent " + std::to_string(kNotes));

    std::vector<uint32_t> packets = sim.CapturePackets(0, 'A', 2 * kNotes);
    ASSERT_EQ(packets.size(), 2u * kNotes);
    std::map<uint32_t, std::vector<uint32_t>> byChannel;
    for (uint32_t p : packets) {
        EXPECT_EQ(p & 0xFF00FF00u, 0x03003C00u) << std::hex << p;  // whole note-on packet
        byChannel[p & 0xFF].push_back((p >> 16) & 0xFF);
    }
    ASSERT_EQ(byChannel.size(), 2u);
    for (uint32_t st : {0x91u, 0x92u}) {
        std::vector<uint32_t> expect;
        for (int i = 0; i < kNotes; ++i)
            expect.push_back(static_cast<uint32_t>(i % 128));
        EXPECT_EQ(byChannel[st], expect) << std::hex << st;
    }
    EXPECT_EQ(p1.Ask("close"), "0");
    EXPECT_EQ(p2.Ask("close"), "0");
    p1.Send("quit");
    p2.Send("quit");
    EXPECT_EQ(p1.Wait(), 0);
    EXPECT_EQ(p2.Wait(), 0);
    EXPECT_EQ(sim.Stats(0)["streams_out_a"], 0u);
}

// While one process's close waits for the interface to send what its ring
// holds, another process's open of the port waits for that close: it must
// neither join the ending stream nor set its block up afresh under it.
TEST(OutTwoProcesses, AnOpenDuringAnotherProcesssCloseWaitsForIt) {
    vt::Simulator sim("--nodes 0 --no-loopback");  // the wire rate: a full ring is a second
    vt::ChildProcess p1 = Peer();
    vt::ChildProcess p2 = Peer();
    ASSERT_EQ(p1.Ask("open 0"), "0");
    ASSERT_EQ(p1.Ask("notes 0 1 1000"), "sent 1000");
    p1.Send("close");
    ASSERT_TRUE(sim.Await(0, "stop", 1));
    EXPECT_EQ(p2.Ask("open 0"), "0");
    EXPECT_EQ(p2.Ask("notes 0 2 10"), "sent 10");
    EXPECT_EQ(p1.ReadLine(), "0");
    EXPECT_EQ(p2.Ask("close"), "0");
    std::vector<uint32_t> packets = sim.CapturePackets(0, 'A');
    ASSERT_EQ(packets.size(), 1010u);
    for (size_t i = 0; i < packets.size(); ++i)
        ASSERT_EQ(packets[i] & 0xFF, i < 1000 ? 0x91u : 0x92u) << i;
    EXPECT_EQ(sim.Stats(0)["start_out_a"], 2u);
    p1.Send("quit");
    p2.Send("quit");
    EXPECT_EQ(p1.Wait(), 0);
    EXPECT_EQ(p2.Wait(), 0);
}

}  // namespace
