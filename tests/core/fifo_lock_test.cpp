// FIFO blocks and the cross-process lock: a block's initial state, how
// processes share and give back blocks, and the named mutex's re-entrance,
// exclusion and takeover from a dead owner.
#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

#include "devices/devices.h"
#include "driver/driver.h"
#include "hwlink/hwlink.h"
#include "tests/support/loaded_driver.h"
#include "tests/support/support.h"

namespace {

class Fifo : public ::testing::Test {
  protected:
    HardwareInstance* Instance(DWORD n) { return DevNodeToHardwareInstance(n); }
    vt::ChildProcess Peer() {
        vt::ChildProcess peer({vt::BuiltProgram("tests/core/vt_corepeer")});
        EXPECT_EQ(peer.ReadLine(), "ready");
        return peer;
    }
    vt::LoadedDriver loaded_;
};

TEST_F(Fifo, FreshBlockReadsWordByWord) {
    HardwareInstance* p = Instance(3);
    for (int s = 0; s < 3; ++s) {
        PortStream* pStream = &p->aStreams[s];
        EXPECT_EQ(AllocateFIFO(pStream, p), 1);
        ASSERT_NE(pStream->pFifo, nullptr);
        EXPECT_EQ(pStream->pFifo, pStream->pFifoBase);
        const volatile uint32_t* pWord = &pStream->pFifo->dwMagic;
        EXPECT_EQ(pWord[0], 0x51544B50u);
        EXPECT_EQ(pWord[1], 24u);
        EXPECT_EQ(pWord[2], 1u);
        EXPECT_EQ(pWord[3], 1024u);
        EXPECT_EQ(pWord[4], 6u);
        EXPECT_EQ(pWord[5], 6u);
        for (int i = 6; i < 1024; ++i)
            ASSERT_EQ(pWord[i], 0u) << "stream " << s << " word " << i;
        EXPECT_EQ(FreeFIFO(pStream, p), 1);
    }
}

TEST_F(Fifo, StreamsUseTheirRegionsAtTheirNode) {
    HardwareInstance* p = Instance(5);
    for (int s = 0; s < 3; ++s)
        AllocateFIFO(&p->aStreams[s], p);
    SharedData* pShared = SharedDataOfSystem();
    EXPECT_EQ(p->aStreams[0].pFifo, FifoBlock(pShared->adwOut1MidiFifo, 5));
    EXPECT_EQ(p->aStreams[1].pFifo, FifoBlock(pShared->adwOut2MidiFifo, 5));
    EXPECT_EQ(p->aStreams[2].pFifo, FifoBlock(InputRegionOfProcess(), 5));
    EXPECT_EQ(reinterpret_cast<BYTE*>(FifoBlock(pShared->adwOut1MidiFifo, 5)) -
                  reinterpret_cast<BYTE*>(pShared->adwOut1MidiFifo),
              5 * 4096);
    for (int s = 0; s < 3; ++s)
        FreeFIFO(&p->aStreams[s], p);
}

TEST_F(Fifo, FreeingTwiceAnswersZeroTheSecondTime) {
    HardwareInstance* p = Instance(0);
    PortStream* pStream = &p->aStreams[1];
    AllocateFIFO(pStream, p);
    MidiFifo* pFifo = pStream->pFifo;
    EXPECT_EQ(FreeFIFO(pStream, p), 1);
    EXPECT_EQ(pFifo->cRef, 0u);
    EXPECT_EQ(pStream->pFifo, nullptr);
    EXPECT_EQ(pStream->pFifoBase, nullptr);
    EXPECT_EQ(FreeFIFO(pStream, p), 0);
    EXPECT_EQ(pFifo->cRef, 0u);
}

TEST_F(Fifo, SecondProcessJoinsWithoutTouchingTheRing) {
    HardwareInstance* p = Instance(2);
    PortStream* pStream = &p->aStreams[0];
    AllocateFIFO(pStream, p);
    MidiFifo* pFifo = pStream->pFifo;
    FifoSlot(pFifo, 6) = 0x03403C90;
    pFifo->iWrite = 7;
    vt::ChildProcess peer = Peer();
    EXPECT_EQ(peer.Ask("alloc 2 0"), "2");
    EXPECT_EQ(pFifo->cRef, 2u);
    EXPECT_EQ(FifoSlot(pFifo, 6), 0x03403C90u);
    EXPECT_EQ(pFifo->iWrite, 7u);
    EXPECT_EQ(pFifo->dwMagic, MIDI_FIFO_MAGIC);
    // The input block is private: the peer's is fresh and counts only itself.
    EXPECT_EQ(peer.Ask("alloc 2 2"), "1");
    EXPECT_EQ(peer.Ask("free 2 0"), "1");
    EXPECT_EQ(pFifo->cRef, 1u);
    peer.Send("exit");
    EXPECT_EQ(peer.Wait(), 0);
    FreeFIFO(pStream, p);
}

TEST_F(Fifo, RacingProcessesKeepTheCountAndNeverReinitialiseALiveBlock) {
    HardwareInstance* p = Instance(4);
    PortStream* pStream = &p->aStreams[1];
    AllocateFIFO(pStream, p);
    MidiFifo* pFifo = pStream->pFifo;
    FifoSlot(pFifo, 100) = 0x01000042;  // stands for a packet still queued
    vt::ChildProcess a = Peer(), b = Peer();
    a.Send("churn 4 1 100000");
    b.Send("churn 4 1 100000");
    EXPECT_EQ(a.ReadLine(60000), "done");
    EXPECT_EQ(b.ReadLine(60000), "done");
    EXPECT_EQ(pFifo->cRef, 1u);
    EXPECT_EQ(FifoSlot(pFifo, 100), 0x01000042u);
    FreeFIFO(pStream, p);
}

// Another thread tries the lock without waiting and gives it back if it got
// it; answers what its wait answered.
DWORD TakeAndGiveBackOnOtherThread() {
    DWORD dwResult = 0;
    std::thread([&] {
        dwResult = WaitForSingleObject(hCsMutex, 0);
        if (dwResult == WAIT_OBJECT_0) ReleaseMutex(hCsMutex);
    }).join();
    return dwResult;
}

TEST(CrossProcessLock, ReentrantOnOneThread) {
    CriticalSection(kCsEnter, nullptr);
    CriticalSection(kCsEnter, nullptr);  // must not block
    CriticalSection(kCsLeave, nullptr);
    // Still held once: another thread cannot have it.
    EXPECT_EQ(TakeAndGiveBackOnOtherThread(), WAIT_TIMEOUT);
    CriticalSection(kCsLeave, nullptr);
    EXPECT_EQ(TakeAndGiveBackOnOtherThread(), WAIT_OBJECT_0);
    CriticalSection(7, nullptr);  // any other op does nothing: nothing left held
    EXPECT_EQ(TakeAndGiveBackOnOtherThread(), WAIT_OBJECT_0);
    EXPECT_EQ(InitCriticalSectionMutex(), 1);
}

TEST(CrossProcessLock, ExclusiveAcrossProcesses) {
    vt::ChildProcess peer({vt::BuiltProgram("tests/core/vt_corepeer")});
    ASSERT_EQ(peer.ReadLine(), "ready");
    CriticalSection(kCsEnter, nullptr);
    EXPECT_EQ(peer.Ask("wait 50"), std::to_string(WAIT_TIMEOUT));
    CriticalSection(kCsLeave, nullptr);
    EXPECT_EQ(peer.Ask("lock"), "locked");
    EXPECT_EQ(WaitForSingleObject(hCsMutex, 50), WAIT_TIMEOUT);
    EXPECT_EQ(peer.Ask("unlock"), "unlocked");
    EXPECT_EQ(WaitForSingleObject(hCsMutex, 5000), WAIT_OBJECT_0);
    ReleaseMutex(hCsMutex);
}

TEST(CrossProcessLock, TakenOverFromAKilledOwner) {
    InitCriticalSectionMutex();
    vt::ChildProcess peer({vt::BuiltProgram("tests/core/vt_corepeer")});
    ASSERT_EQ(peer.ReadLine(), "ready");
    EXPECT_EQ(peer.Ask("lock"), "locked");
    peer.Kill();
    EXPECT_EQ(WaitForSingleObject(hCsMutex, 5000), WAIT_ABANDONED);
    // Ours now: re-entrant, and released normally.
    CriticalSection(kCsEnter, nullptr);
    CriticalSection(kCsLeave, nullptr);
    EXPECT_TRUE(ReleaseMutex(hCsMutex));
    EXPECT_FALSE(ReleaseMutex(hCsMutex));
}

}  // namespace
