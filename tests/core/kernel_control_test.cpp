// The driver's side of the kernel contract, against the simulated kernel side:
// verification and acquisition, stream start and stop shared between
// processes, failed starts, and that nothing leaks over many cycles.
#include <gtest/gtest.h>

#include "devices/devices.h"
#include "driver/driver.h"
#include "host/os/host.h"
#include "hwlink/hwlink.h"
#include "tests/support/loaded_driver.h"
#include "tests/support/sim_process.h"
#include "tests/support/support.h"

namespace {

class KernelControl : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(NTGetNumberInstances(), 1); }
    vt::ChildProcess Peer() {
        vt::ChildProcess peer({vt::BuiltProgram("tests/core/vt_corepeer")});
        EXPECT_EQ(peer.ReadLine(), "ready");
        EXPECT_EQ(peer.Ask("probe"), "1");
        return peer;
    }
    HardwareInstance* Node0() { return DevNodeToHardwareInstance(0); }
    LONG NtAcquire() { return SharedDataOfSystem()->cNtAcquire[0]; }
    // Nothing of an acquisition is left on the instance.
    void ExpectNothingHeld() {
        HardwareInstance* p = Node0();
        EXPECT_EQ(p->cAcquire, 0);
        EXPECT_EQ(p->hDevice, nullptr);
        for (const PortStream& s : p->aStreams) {
            EXPECT_EQ(s.cOpen, 0);
            EXPECT_EQ(s.pFifo, nullptr);
            EXPECT_EQ(s.pFifoBase, nullptr);
            EXPECT_EQ(s.hStream, nullptr);
            EXPECT_EQ(s.hStreamEvent, nullptr);
        }
    }

    vt::Simulator sim_{"--nodes 0 --rate fast"};
    vt::LoadedDriver loaded_;
};

TEST_F(KernelControl, PipeNumbers) {
    HardwareInstance* p = Node0();
    EXPECT_EQ(GetUSBPipeNumber(&p->aStreams[0], p), 2);
    EXPECT_EQ(GetUSBPipeNumber(&p->aStreams[1], p), 4);
    EXPECT_EQ(GetUSBPipeNumber(&p->aStreams[2], p), 0);
    PortStream other{};
    EXPECT_EQ(GetUSBPipeNumber(&other, p), -1);
}

TEST_F(KernelControl, ForeignOrShortDescriptorFailsEveryOpenAndHoldsNothing) {
    InitCriticalSectionMutex();  // its handle lives as long as the process
    DWORD cHandles = VtHostHandleCount();
    sim_.Ok("descriptor 0 0x1234 0x0001");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(AcquireHwPort(Node0()), 1u);
    sim_.Ok("descriptor 0 0x1209 0x0002");
    EXPECT_EQ(AcquireHwPort(Node0()), 1u);
    ExpectNothingHeld();
    sim_.Ok("descriptor 0 0x1209 0x0001");
    sim_.Ok("fail 0 descriptor-short");
    EXPECT_EQ(AcquireHwPort(Node0()), 1u);
    ExpectNothingHeld();
    EXPECT_EQ(NtAcquire(), 0);
    EXPECT_EQ(sim_.Stats(0)["first_acquire"], 0u);
    EXPECT_EQ(VtHostHandleCount(), cHandles);
    // The fault was for one request only.
    EXPECT_EQ(AcquireHwPort(Node0()), 0u);
    ReleaseHwPort(Node0());
}

TEST_F(KernelControl, ClientsOfOneProcessAskOnceAndCountTheProcessOnce) {
    HardwareInstance* p = Node0();
    EXPECT_EQ(AcquireHwPort(p), 0u);
    EXPECT_EQ(AcquireHwPort(p), 0u);
    EXPECT_EQ(p->cAcquire, 2);
    EXPECT_EQ(NtAcquire(), 1);
    auto stats = sim_.Stats(0);
    EXPECT_EQ(stats["descriptor"], 1u);
    EXPECT_EQ(stats["first_acquire"], 1u);
    EXPECT_EQ(p->hDevice, nullptr);
    EXPECT_EQ(ReleaseHwPort(p), 1u);
    EXPECT_EQ(NtAcquire(), 1);
    EXPECT_EQ(ReleaseHwPort(p), 1u);
    EXPECT_EQ(NtAcquire(), 0);
    EXPECT_EQ(ReleaseHwPort(p), 1u);  // nothing left to release
    EXPECT_EQ(p->cAcquire, 0);
    EXPECT_EQ(NtAcquire(), 0);
}

TEST_F(KernelControl, SecondProcessJoinsAndTheLastToLeaveStops) {
    HardwareInstance* p = Node0();
    PortStream* pOut = &p->aStreams[0];
    ASSERT_EQ(AcquireHwPort(p), 0u);
    ASSERT_EQ(StartHwPortStreaming(pOut, p), 1);
    DWORD dwCookie = pOut->pFifo->dwMagic;
    EXPECT_NE(dwCookie, 0u);
    EXPECT_NE(dwCookie, MIDI_FIFO_MAGIC);
    EXPECT_NE(pOut->hStream, nullptr);
    EXPECT_NE(pOut->hStreamEvent, nullptr);

    vt::ChildProcess peer = Peer();
    EXPECT_EQ(peer.Ask("open 0 0"), "0 1");
    EXPECT_EQ(pOut->pFifo->cRef, 2u);
    EXPECT_EQ(NtAcquire(), 2);
    auto stats = sim_.Stats(0);
    EXPECT_EQ(stats["first_acquire"], 1u);
    EXPECT_EQ(stats["start_out_a"], 1u);
    EXPECT_EQ(stats["streams_out_a"], 1u);

    // The first process leaves first: no stop, the stream runs on for the peer.
    EXPECT_EQ(StopHwPortStreaming(pOut, p), 1);
    ReleaseHwPort(p);
    stats = sim_.Stats(0);
    EXPECT_EQ(stats["stop"], 0u);
    EXPECT_EQ(stats["streams_out_a"], 1u);
    EXPECT_EQ(pOut->pFifo, nullptr);
    EXPECT_EQ(FifoBlock(SharedDataOfSystem()->adwOut1MidiFifo, 0)->cRef, 1u);
    EXPECT_EQ(FifoBlock(SharedDataOfSystem()->adwOut1MidiFifo, 0)->dwMagic, dwCookie);

    // The peer is last: it stops with the cookie it reads from the block, and
    // the start request this process issued completes.
    EXPECT_EQ(peer.Ask("close 0 0"), "1");
    stats = sim_.Stats(0);
    EXPECT_EQ(stats["stop"], 1u);
    EXPECT_EQ(stats["streams_out_a"], 0u);
    EXPECT_EQ(WaitForSingleObject(pOut->hStreamEvent, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(NtAcquire(), 0);
    peer.Send("exit");
    EXPECT_EQ(peer.Wait(), 0);
}

TEST_F(KernelControl, StartThatDoesNotStayPendingWithACookieFails) {
    HardwareInstance* p = Node0();
    InitCriticalSectionMutex();  // lives as long as the process: not a leak
    DWORD cHandles = VtHostHandleCount();
    for (const char* fault : {"start-immediate", "start-no-cookie"}) {
        ASSERT_EQ(AcquireHwPort(p), 0u);
        sim_.Ok(std::string("fail 0 ") + fault);
        EXPECT_EQ(StartHwPortStreaming(&p->aStreams[1], p), 0) << fault;
        ReleaseHwPort(p);
        ExpectNothingHeld();
        EXPECT_EQ(FifoBlock(SharedDataOfSystem()->adwOut2MidiFifo, 0)->cRef, 0u) << fault;
        EXPECT_EQ(VtHostHandleCount(), cHandles) << fault;
    }
    EXPECT_EQ(sim_.Stats(0)["streams_out_b"], 0u);
}

TEST_F(KernelControl, DisabledInstanceDoesNotStream) {
    HardwareInstance* p = Node0();
    DisableDevNode(0);
    EXPECT_EQ(StartHwPortStreaming(&p->aStreams[2], p), 0);
    EXPECT_EQ(p->aStreams[2].pFifo, nullptr);
    EnableDevNode(0, 0);
}

TEST_F(KernelControl, InputStreamsArePerProcess) {
    HardwareInstance* p = Node0();
    ASSERT_EQ(AcquireHwPort(p), 0u);
    ASSERT_EQ(StartHwPortStreaming(&p->aStreams[2], p), 1);
    vt::ChildProcess peer = Peer();
    EXPECT_EQ(peer.Ask("open 0 2"), "0 1");
    EXPECT_EQ(sim_.Stats(0)["streams_in"], 2u);
    // Every packet reaches the input block of each process that streams.
    sim_.Ok("packet 0 13403C90");
    sim_.Ok("inject 0 A C0 05");
    EXPECT_TRUE(sim_.Await(0, "delivered_in", 4));
    EXPECT_EQ(peer.Ask("take 0"), "13403C90 020005C0");
    MidiFifo* pFifo = p->aStreams[2].pFifo;
    EXPECT_EQ(FifoSlot(pFifo, kFifoFirstSlot), 0x13403C90u);
    EXPECT_EQ(FifoSlot(pFifo, kFifoFirstSlot + 1), 0x020005C0u);
    EXPECT_EQ(sim_.Stats(0)["dropped_in"], 0u);
    EXPECT_EQ(peer.Ask("close 0 2"), "1");
    EXPECT_EQ(StopHwPortStreaming(&p->aStreams[2], p), 1);
    ReleaseHwPort(p);
    EXPECT_EQ(sim_.Stats(0)["streams_in"], 0u);
    ExpectNothingHeld();
}

// A process that leaves a stream it carries for another keeps its request's
// handles until the request ends; over many such cycles nothing may pile up
// in either process.
TEST_F(KernelControl, NoDescriptorLeakedOverManyCyclesWithTwoProcesses) {
    HardwareInstance* p = Node0();
    PortStream* pOut = &p->aStreams[0];
    vt::ChildProcess peer = Peer();
    auto cycle = [&] {
        ASSERT_EQ(AcquireHwPort(p), 0u);
        ASSERT_EQ(StartHwPortStreaming(pOut, p), 1);
        ASSERT_EQ(peer.Ask("open 0 0"), "0 1");
        ASSERT_EQ(StopHwPortStreaming(pOut, p), 1);  // leaves; still carries the stream
        ReleaseHwPort(p);
        ASSERT_EQ(peer.Ask("close 0 0"), "1");  // stops it
    };
    for (int i = 0; i < 10; ++i)
        cycle();
    int fdsHere = vt::OpenDescriptorCount();
    std::string fdsPeer = peer.Ask("fds");
    DWORD cHandles = VtHostHandleCount();
    for (int i = 0; i < 200; ++i)
        cycle();
    EXPECT_EQ(vt::OpenDescriptorCount(), fdsHere);
    EXPECT_EQ(VtHostHandleCount(), cHandles);
    EXPECT_EQ(peer.Ask("fds"), fdsPeer);
    EXPECT_EQ(sim_.Stats(0)["streams_out_a"], 0u);
    // The last ended request's handles go with the next start; a stream this
    // process alone holds is stopped and closed at its last close.
    ASSERT_EQ(AcquireHwPort(p), 0u);
    ASSERT_EQ(StartHwPortStreaming(pOut, p), 1);
    ASSERT_EQ(StopHwPortStreaming(pOut, p), 1);
    ReleaseHwPort(p);
    ExpectNothingHeld();
}

}  // namespace

namespace {

// Two processes that leave a shared stream at the same moment: one of them
// must see the other gone and stop it, or the port stays streaming with no
// user and refuses every later start.
TEST_F(KernelControl, ProcessesLeavingTogetherStillStopTheStream) {
    HardwareInstance* p = Node0();
    PortStream* pOut = &p->aStreams[0];
    vt::ChildProcess peer = Peer();
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(AcquireHwPort(p), 0u);
        ASSERT_EQ(StartHwPortStreaming(pOut, p), 1) << "cycle " << i;
        ASSERT_EQ(peer.Ask("open 0 0"), "0 1");
        peer.Send("close 0 0");
        EXPECT_EQ(StopHwPortStreaming(pOut, p), 1);
        ReleaseHwPort(p);
        EXPECT_EQ(peer.ReadLine(), "1");
        ASSERT_EQ(sim_.Stats(0)["streams_out_a"], 0u) << "cycle " << i;
    }
}

}  // namespace
