// FIFO blocks, the shared data section and the named mutex on Win32, across
// real processes: the second process is this program in a child mode.
#include "windows/tests/child.h"
#include "windows/tests/wintest.h"

namespace vtw {
namespace {

using FifoBlocks = DriverFixture;

TEST_F(FifoBlocks, FirstUserInitialisesTheBlockAndLaterUsersKeepItsContents) {
    HardwareInstance* p = Instance(6);
    PortStream* pOut = &p->aStreams[1];
    ASSERT_EQ(AllocateFIFO(pOut, p), 1);
    MidiFifo* pFifo = pOut->pFifo;
    ASSERT_EQ(pFifo, FifoBlock(SharedDataOfSystem()->adwOut2MidiFifo, 6));
    EXPECT_EQ(pOut->pFifoBase, pFifo);
    const uint32_t adwHeader[] = {MIDI_FIFO_MAGIC, 24, 1, 1024, 6, 6};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(reinterpret_cast<volatile uint32_t*>(pFifo)[i], adwHeader[i]) << "word " << i;
    for (uint32_t i = kFifoFirstSlot; i < kFifoWords; ++i)
        ASSERT_EQ(FifoSlot(pFifo, i), 0u) << "slot " << i;

    // A process counts once in a block however often it allocates it, and a
    // queued packet and a moved index stay (another process's allocation:
    // OutputBlocksAreCommonToTwoProcesses).
    FifoSlot(pFifo, 6) = 0x03403C90;
    pFifo->iWrite = 7;
    ASSERT_EQ(AllocateFIFO(pOut, p), 1);
    EXPECT_EQ(pFifo->cRef, 1u);
    EXPECT_EQ(FifoSlot(pFifo, 6), 0x03403C90u);
    EXPECT_EQ(pFifo->iWrite, 7u);
    // The input region is this process's own, not the shared data.
    ASSERT_EQ(AllocateFIFO(&p->aStreams[2], p), 1);
    EXPECT_EQ(p->aStreams[2].pFifo, FifoBlock(InputRegionOfProcess(), 6));
}

TEST_F(FifoBlocks, OutputBlocksAreCommonToTwoProcesses) {
    HardwareInstance* p = Instance(1);
    ASSERT_EQ(AllocateFIFO(&p->aStreams[0], p), 1);
    MidiFifo* pFifo = p->aStreams[0].pFifo;
    FifoSlot(pFifo, 6) = 0x010000F8;
    pFifo->iWrite = 7;

    // The child joins the block (cRef 2, contents kept), leaves it, and exits.
    Child child("join-output-block", "1");
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(pFifo->cRef, 1u);
    EXPECT_EQ(pFifo->dwMagic, MIDI_FIFO_MAGIC);
    EXPECT_EQ(FifoSlot(pFifo, 6), 0x010000F8u);
    // And what the child left in the block is seen here.
    EXPECT_EQ(FifoSlot(pFifo, 7), 0x020000F2u);
}

int ChildJoinOutputBlock(DWORD dwNode) {
    if (DriverProc(0, nullptr, DRV_ENABLE, 0, 0) != 1) return 10;
    HardwareInstance* p = DevNodeToHardwareInstance(dwNode);
    AllocateFIFO(&p->aStreams[0], p);
    MidiFifo* pFifo = p->aStreams[0].pFifo;
    int code = 0;
    if (pFifo->cRef != 2) code = 11;
    if (FifoSlot(pFifo, 6) != 0x010000F8 || pFifo->iWrite != 7) code = 12;
    FifoSlot(pFifo, 7) = 0x020000F2;
    DriverProc(0, nullptr, DRV_DISABLE, 0, 0);  // gives the block back
    return code;
}

// ---- the named mutex

// Child that takes the lock, says so, and holds it until it is killed; with
// a node, it holds that node's output B block too.
int ChildHoldLock(const std::string& node) {
    HANDLE hLocked = NamedEvent("locked");
    if (!node.empty()) {
        if (DriverProc(0, nullptr, DRV_ENABLE, 0, 0) != 1) return 10;
        HardwareInstance* p = DevNodeToHardwareInstance(std::stoul(node));
        if (!AllocateFIFO(&p->aStreams[1], p)) return 11;
    }
    CriticalSection(kCsEnter, nullptr);
    SetEvent(hLocked);
    Sleep(INFINITE);
    return 0;
}

// Child that tries the lock once without waiting; exits 0 if it got it (and
// gives it back), 1 if another owner holds it, 2 if it took it over from a
// dead owner.
int ChildTryLock() {
    if (!InitCriticalSectionMutex()) return 10;
    DWORD dw = WaitForSingleObject(hCsMutex, 0);
    if (dw == WAIT_OBJECT_0 || dw == WAIT_ABANDONED) ReleaseMutex(hCsMutex);
    if (dw == WAIT_OBJECT_0) return 0;
    if (dw == WAIT_TIMEOUT) return 1;
    if (dw == WAIT_ABANDONED) return 2;
    return 11;
}

long TryLockInChild() {
    Child child("try-lock");
    return child.Wait();
}

TEST(NamedMutex, ReentrantForItsOwnerAndExclusiveAcrossProcesses) {
    EXPECT_EQ(TryLockInChild(), 0);
    CriticalSection(kCsEnter, nullptr);
    CriticalSection(kCsEnter, nullptr);  // does not block this thread
    EXPECT_EQ(TryLockInChild(), 1);
    CriticalSection(kCsLeave, nullptr);
    EXPECT_EQ(TryLockInChild(), 1);  // still held once
    CriticalSection(kCsLeave, nullptr);
    EXPECT_EQ(TryLockInChild(), 0);
    // Operations other than take and give back do nothing.
    CriticalSection(0, nullptr);
    CriticalSection(3, nullptr);
    EXPECT_EQ(TryLockInChild(), 0);
}

DWORD WINAPI EnterAndLeave(LPVOID) {
    CriticalSection(kCsEnter, nullptr);
    CriticalSection(kCsLeave, nullptr);
    return 0;
}

TEST(NamedMutex, TakenOverFromAKilledOwner) {
    HANDLE hLocked = NamedEvent("locked");
    ResetEvent(hLocked);
    Child holder("hold-lock");
    ASSERT_TRUE(holder.started());
    ASSERT_EQ(WaitForSingleObject(hLocked, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(TryLockInChild(), 1);
    holder.Terminate();
    // The next waiter is told the owner died, and owns the mutex.
    EXPECT_EQ(TryLockInChild(), 2);
    // The driver's own lock goes on after such a takeover.
    EXPECT_EQ(TryLockInChild(), 0);
    HANDLE hThread = CreateThread(nullptr, 0, EnterAndLeave, nullptr, 0, nullptr);
    ASSERT_NE(hThread, nullptr);
    EXPECT_EQ(WaitForSingleObject(hThread, 30000), WAIT_OBJECT_0);
    CloseHandle(hThread);
    CloseHandle(hLocked);
}

// The owner held a block too: the lock that finds the mutex abandoned gives
// back what the dead process held.
TEST_F(FifoBlocks, DriverLockTakesOverFromAKilledOwnerAndGivesBackItsBlock) {
    HardwareInstance* p = Instance(4);
    ASSERT_EQ(AllocateFIFO(&p->aStreams[1], p), 1);
    MidiFifo* pFifo = p->aStreams[1].pFifo;
    HANDLE hLocked = NamedEvent("locked");
    ResetEvent(hLocked);
    Child holder("hold-lock", "4");
    ASSERT_TRUE(holder.started());
    ASSERT_EQ(WaitForSingleObject(hLocked, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(pFifo->cRef, 2u);
    holder.Terminate();
    // CriticalSection itself meets the abandoned mutex and goes on.
    HANDLE hThread = CreateThread(nullptr, 0, EnterAndLeave, nullptr, 0, nullptr);
    ASSERT_NE(hThread, nullptr);
    EXPECT_EQ(WaitForSingleObject(hThread, 30000), WAIT_OBJECT_0);
    CloseHandle(hThread);
    EXPECT_EQ(pFifo->cRef, 1u);
    EXPECT_EQ(TryLockInChild(), 0);
    CloseHandle(hLocked);
}

}  // namespace

int RunFifoLockChild(const ChildArgs& child) {
    if (child.name == "join-output-block") return ChildJoinOutputBlock(std::stoul(child.arg));
    if (child.name == "hold-lock") return ChildHoldLock(child.arg);
    if (child.name == "try-lock") return ChildTryLock();
    return -1;
}

}  // namespace vtw
