// The ring drain and the per-client state seen through the handle messages,
// without a kernel side: packets are put into the ring by the test and the
// drain is run by hand under the manual clock.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "tests/in/parse_fixture.h"

namespace vt {
namespace {

using InputDrain = ParseFixture;

TEST_F(InputDrain, PacketsOfOtherPortsOrNoBytesAreConsumedSilently) {
    InputClient* pA = AddClient(0);
    InputClient* pB = AddClient(1);
    StartClient(pA);
    StartClient(pB);
    PutPacket(pFifo, FifoPacket(0x403C90, 3, 2));
    PutPacket(pFifo, FifoPacket(0x403C90, 3, 15));
    // A count of 0 with a port tag is still a packet: its top byte is set.
    PutPacket(pFifo, FifoPacket(0x403C90, 0, 1));
    PutPacket(pFifo, FifoPacket(0x000090, 1, 1));
    PutPacket(pFifo, FifoPacket(0x00403C, 2, 1));
    Drain();

    std::vector<Notification> seen = rec.Seen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(HandleOf(pB), seen[0].hDrv);
    EXPECT_EQ(UINT(MIM_DATA), seen[0].uMsg);
    EXPECT_EQ(0x403C90u, seen[0].dwParam1);
    EXPECT_EQ(pFifo->iWrite, pFifo->iRead);
    for (DWORD i = kFifoFirstSlot; i < kFifoWords; ++i)
        ASSERT_EQ(0u, FifoSlot(pFifo, i)) << i;
}

TEST_F(InputDrain, ReadIndexWrapsFromTheLastSlot) {
    InputClient* pA = AddClient(0);
    StartClient(pA);
    pFifo->iRead = pFifo->iWrite = kFifoWords - 2;
    PutBytes(pFifo, 0, Hex("90 3C 40 3D 40 3E 40 3F 40"));  // slots 1022, 1023, 6, 7
    EXPECT_EQ(kFifoFirstSlot + 1, pFifo->iWrite);
    Drain();
    EXPECT_EQ(pFifo->iWrite, pFifo->iRead);
    std::vector<Notification> seen = rec.Seen();
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ(0x403C90u, seen[0].dwParam1);
    EXPECT_EQ(0x403D90u, seen[1].dwParam1);
    EXPECT_EQ(0x403E90u, seen[2].dwParam1);
    EXPECT_EQ(0x403F90u, seen[3].dwParam1);
}

TEST_F(InputDrain, AFullRingIsEmptiedInOneTick) {
    InputClient* pA = AddClient(0);
    StartClient(pA);
    pFifo->iRead = pFifo->iWrite = 500;
    for (DWORD i = 0; i < kFifoSlots; ++i)
        PutPacket(pFifo, FifoPacket(0x403C90, 3, 0));
    EXPECT_NE(0u, FifoSlot(pFifo, pFifo->iWrite));  // full: the next slot is taken
    Drain();
    EXPECT_EQ(kFifoSlots, rec.Count());
    EXPECT_EQ(500u, pFifo->iRead);
    EXPECT_EQ(0u, FifoSlot(pFifo, 500));
}

// A tick that finds the ring empty does not take the lock: a thread holding
// it does not hold the tick up (every open handle ticks each millisecond).
// Only once a restart period does a tick take it all the same, to look for
// streams the kernel side ended; the first tick here is that one.
TEST_F(InputDrain, AnEmptyRingIsLookedAtWithoutTheLock) {
    StartClient(AddClient(0));
    Drain();
    CriticalSection(kCsEnter, pInstance);
    auto tick = std::async(std::launch::async, [&] { Drain(); });
    bool fDone = tick.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    CriticalSection(kCsLeave, pInstance);
    tick.wait();
    EXPECT_TRUE(fDone) << "the idle tick waited for the lock";
    Send(0, "90 3C 40");
    EXPECT_EQ(1u, rec.Count());
}

TEST_F(InputDrain, ClosedStreamOrUnusableBlockIsLeftAlone) {
    InputClient* pA = AddClient(0);
    StartClient(pA);
    PutBytes(pFifo, 0, Hex("90 3C 40"));
    DWORD iRead = pFifo->iRead;

    pInstance->aStreams[2].cOpen = 0;
    Drain();
    pInstance->aStreams[2].cOpen = 1;
    DWORD dwMagic = pFifo->dwMagic;
    pFifo->dwMagic = 0;
    Drain();
    EXPECT_EQ(0u, rec.Count());
    EXPECT_EQ(iRead, pFifo->iRead);
    EXPECT_NE(0u, FifoSlot(pFifo, iRead));

    pFifo->dwMagic = dwMagic;
    Drain();
    ASSERT_EQ(1u, rec.Count());
    EXPECT_EQ(0x403C90u, rec.Seen()[0].dwParam1);
}

// The read index is the driver's own, but it lives in memory the kernel side
// writes: a value outside the slots must not send the drain outside the block.
TEST_F(InputDrain, ReadIndexOutsideTheSlotsRestartsAtTheFirst) {
    InputClient* pA = AddClient(0);
    StartClient(pA);
    pFifo->iRead = 70000;
    pFifo->iWrite = kFifoFirstSlot;
    PutBytes(pFifo, 0, Hex("90 3C 40"));
    Drain();
    ASSERT_EQ(1u, rec.Count());
    EXPECT_EQ(kFifoFirstSlot + 1, pFifo->iRead);
}

TEST_F(InputDrain, EveryStartedClientOfThePortOnItsOwnTimeBase) {
    NotificationRecorder recA2, recA3, recB;
    InputClient* pA1 = AddClient(0);
    At(10);
    InputClient* pA2 = AddClient(0, &recA2);
    InputClient* pA3 = AddClient(0, &recA3);
    InputClient* pB = AddClient(1, &recB);
    At(0);
    StartClient(pA1);
    At(10);
    StartClient(pA2);
    StartClient(pA3);
    StartClient(pB);

    At(20);
    Send(0, "90 3C");
    EXPECT_EQ(0u, Message(pA3, MIDM_STOP));
    At(25);
    Send(0, "40");

    std::vector<Notification> a1 = rec.Seen(), a2 = recA2.Seen();
    ASSERT_EQ(1u, a1.size());
    ASSERT_EQ(1u, a2.size());
    EXPECT_EQ(0x403C90u, a1[0].dwParam1);
    EXPECT_EQ(20u, a1[0].dwParam2);
    EXPECT_EQ(0x403C90u, a2[0].dwParam1);
    EXPECT_EQ(10u, a2[0].dwParam2);
    EXPECT_EQ(0u, recA3.Count());
    EXPECT_EQ(0u, recB.Count());
    // The stopped client kept the half message it had.
    EXPECT_EQ(0x90, pA3->abShortMsg[0]);
    EXPECT_EQ(0x3C, pA3->abShortMsg[1]);
    EXPECT_EQ(2, pA3->bIndex);
    EXPECT_EQ(10u, pA3->dwMsgTime);

    Send(1, "C0 05");
    ASSERT_EQ(1u, recB.Count());
    EXPECT_EQ(0x05C0u, recB.Seen()[0].dwParam1);
    EXPECT_EQ(15u, recB.Seen()[0].dwParam2);
    EXPECT_EQ(1u, rec.Count());
    EXPECT_EQ(0u, recA3.Count());
}

using InputClientState = ParseFixture;

TEST_F(InputClientState, StartingTwiceKeepsTheFirstTimeBase) {
    InputClient* pA = AddClient(0);
    At(5);
    StartClient(pA);
    At(50);
    StartClient(pA);
    At(60);
    Send(0, "F8");
    ASSERT_EQ(1u, rec.Count());
    EXPECT_EQ(55u, rec.Seen()[0].dwParam2);
}

TEST_F(InputClientState, OpenButNotStartedGetsNothing) {
    AddClient(0);
    Send(0, "90 3C 40 F0 01 F7 F8");
    EXPECT_EQ(0u, rec.Count());
    EXPECT_EQ(pFifo->iWrite, pFifo->iRead);  // consumed all the same
}

TEST_F(InputClientState, StopReturnsThePartlyFilledHeadAndRestartParsesAfresh) {
    InputClient* pA = AddClient(0);
    InBuffer b1(16), b2(16);
    ASSERT_EQ(0u, AddBuffer(pA, b1.Hdr()));
    ASSERT_EQ(0u, AddBuffer(pA, b2.Hdr()));
    StartClient(pA);
    At(3);
    Send(0, "F0 01 02");
    At(4);
    Send(0, "03 04");
    At(9);
    EXPECT_EQ(0u, Message(pA, MIDM_STOP));

    std::vector<Notification> seen = rec.Seen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(UINT(MIM_LONGERROR), seen[0].uMsg);
    EXPECT_EQ(reinterpret_cast<DWORD_PTR>(b1.Hdr()), seen[0].dwParam1);
    EXPECT_EQ(3u, seen[0].dwParam2);
    EXPECT_EQ("F0 01 02 03 04", b1.Recorded());
    EXPECT_EQ(DWORD(MHDR_PREPARED | MHDR_DONE), b1.hdr.dwFlags);
    EXPECT_EQ(DWORD(MHDR_PREPARED | MHDR_INQUEUE), b2.hdr.dwFlags);
    EXPECT_EQ(b2.Hdr(), pA->pQueue);

    // A second stop has nothing to return; nor has a stop with an empty head.
    EXPECT_EQ(0u, Message(pA, MIDM_STOP));
    At(20);
    StartClient(pA);
    EXPECT_EQ(0u, Message(pA, MIDM_STOP));
    EXPECT_EQ(1u, rec.Count());
    EXPECT_EQ(b2.Hdr(), pA->pQueue);

    // The exclusive message does not carry over a restart.
    StartClient(pA);
    At(22);
    Send(0, "05 F7");
    seen = rec.Seen();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(UINT(MIM_ERROR), seen[1].uMsg);
    EXPECT_EQ(0x05u, seen[1].dwParam1);
    EXPECT_EQ(0u, seen[1].dwParam2);
    EXPECT_EQ(UINT(MIM_ERROR), seen[2].uMsg);
    EXPECT_EQ(0xF7u, seen[2].dwParam1);
    EXPECT_EQ(2u, seen[2].dwParam2);
    EXPECT_TRUE(b2.TailUntouched());
    ResetClient(pA);
}

TEST_F(InputClientState, ResetReturnsEveryBufferInOrder) {
    InputClient* pA = AddClient(0);
    InBuffer b1(8), b2(8), b3(8);
    for (InBuffer* b : {&b1, &b2, &b3})
        ASSERT_EQ(0u, AddBuffer(pA, b->Hdr()));
    StartClient(pA);
    At(2);
    Send(0, "F0 11 22");
    At(30);
    ResetClient(pA);

    std::vector<Notification> seen = rec.Seen();
    ASSERT_EQ(3u, seen.size());
    // The started client's partly filled head first, as a stop returns it.
    EXPECT_EQ(UINT(MIM_LONGERROR), seen[0].uMsg);
    EXPECT_EQ(reinterpret_cast<DWORD_PTR>(b1.Hdr()), seen[0].dwParam1);
    EXPECT_EQ(2u, seen[0].dwParam2);
    EXPECT_EQ("F0 11 22", b1.Recorded());
    InBuffer* rest[] = {&b2, &b3};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(UINT(MIM_LONGDATA), seen[1 + i].uMsg);
        EXPECT_EQ(reinterpret_cast<DWORD_PTR>(rest[i]->Hdr()), seen[1 + i].dwParam1);
        EXPECT_EQ(30u, seen[1 + i].dwParam2);
        EXPECT_EQ(0u, rest[i]->hdr.dwBytesRecorded);
        EXPECT_EQ(DWORD(MHDR_PREPARED | MHDR_DONE), rest[i]->hdr.dwFlags);
        EXPECT_TRUE(rest[i]->TailUntouched());
    }
    EXPECT_EQ(nullptr, pA->pQueue);
    EXPECT_EQ(0u, pA->cbLong);
    EXPECT_EQ(0, pA->bState & kInStarted);

    // Stopped by the reset: bytes are consumed and dropped.
    Send(0, "90 3C 40");
    EXPECT_EQ(3u, rec.Count());
}

TEST_F(InputClientState, RefusedBuffersAreLeftUntouched) {
    InputClient* pA = AddClient(0);
    struct Refusal {
        const char* what;
        DWORD dwFlags;
        DWORD cb;
        DWORD dwResult;
    };
    const Refusal refusals[] = {
        {"unprepared", 0, 16, MIDIERR_UNPREPARED},
        {"already queued", MHDR_PREPARED | MHDR_INQUEUE, 16, MIDIERR_STILLPLAYING},
        {"no room for a byte", MHDR_PREPARED, 0, MMSYSERR_INVALPARAM},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        InBuffer b(16);
        b.hdr.dwFlags = r.dwFlags;
        b.hdr.dwBufferLength = r.cb;
        b.hdr.dwBytesRecorded = 77;
        b.hdr.lpNext = b.Hdr();
        MIDIHDR before = b.hdr;
        EXPECT_EQ(r.dwResult, AddBuffer(pA, b.Hdr()));
        EXPECT_EQ(0, memcmp(&before, b.Hdr(), sizeof(MIDIHDR)));
        EXPECT_EQ(nullptr, pA->pQueue);
    }

    // The same header twice: the second is refused and the queue holds it once.
    InBuffer b(16);
    b.hdr.dwFlags = MHDR_PREPARED | MHDR_DONE;
    b.hdr.dwBytesRecorded = 5;
    ASSERT_EQ(0u, AddBuffer(pA, b.Hdr()));
    EXPECT_EQ(DWORD(MHDR_PREPARED | MHDR_INQUEUE), b.hdr.dwFlags);
    EXPECT_EQ(0u, b.hdr.dwBytesRecorded);
    EXPECT_EQ(DWORD(MIDIERR_STILLPLAYING), AddBuffer(pA, b.Hdr()));
    EXPECT_EQ(b.Hdr(), pA->pQueue);
    EXPECT_EQ(nullptr, b.hdr.lpNext);
    EXPECT_EQ(0u, rec.Count());
    ResetClient(pA);
}

TEST_F(InputClientState, OtherHandleMessagesAreNotSupported) {
    InputClient* pA = AddClient(0);
    MIDIHDR hdr = {};
    for (UINT uMsg : {UINT(MIDM_PREPARE), UINT(MIDM_UNPREPARE), 99u}) {
        EXPECT_EQ(DWORD(MMSYSERR_NOTSUPPORTED),
                  Message(pA, uMsg, reinterpret_cast<DWORD_PTR>(&hdr), sizeof(hdr)));
    }
    EXPECT_EQ(0u, hdr.dwFlags);
    // A handle message acts on its handle whatever device ID comes with it,
    // and whatever the last probe found.
    EXPECT_EQ(0u, midMessage(7, MIDM_START, reinterpret_cast<DWORD_PTR>(pA), 0, 0));
    EXPECT_NE(0, pA->bState & kInStarted);
    gwNumInstances = 0;
    EXPECT_EQ(0u, midMessage(0, MIDM_STOP, reinterpret_cast<DWORD_PTR>(pA), 0, 0));
    EXPECT_EQ(0, pA->bState & kInStarted);
    EXPECT_EQ(0u, rec.Count());
}

// A callback may stop or restart its own handle while the parser is in the
// middle of the byte that caused it; the parser must not undo that after.
using InputCallbackControl = ParseFixture;

TEST_F(InputCallbackControl, RestartFromMimDataLeavesAFreshParse) {
    InputClient* pA = AddClient(0);
    rec.hook = [&](UINT uMsg, DWORD_PTR dw1, DWORD_PTR) {
        if (uMsg != MIM_DATA || dw1 != 0x403C90) return;
        EXPECT_EQ(0u, Message(pA, MIDM_STOP));
        EXPECT_EQ(0u, Message(pA, MIDM_START));
    };
    StartClient(pA);
    At(4);
    Send(0, "90 3C 40 3C 40 3C");  // no running status survives the restart
    std::vector<Notification> seen = rec.Seen();
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ(UINT(MIM_DATA), seen[0].uMsg);
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(UINT(MIM_ERROR), seen[i].uMsg);
        EXPECT_EQ(i % 2 ? 0x3Cu : 0x40u, seen[i].dwParam1);
        EXPECT_EQ(0u, seen[i].dwParam2);
    }
    EXPECT_EQ(0, pA->bIndex);
    EXPECT_EQ(0, pA->abShortMsg[0]);
}

// The exclusive message comes in the same tick as the note: the buffer the
// note's callback queues must still catch it.
TEST_F(InputCallbackControl, ABufferQueuedFromMimDataCatchesTheExclusiveThatFollows) {
    InputClient* pA = AddClient(0);
    InBuffer b(16);
    rec.hook = [&](UINT uMsg, DWORD_PTR, DWORD_PTR) {
        if (uMsg != MIM_DATA) return;
        EXPECT_EQ(0u, AddBuffer(pA, b.Hdr()));
    };
    StartClient(pA);
    Send(0, "90 3C 40 F0 01 02 F7");
    EXPECT_EQ((std::vector<UINT>{MIM_DATA, MIM_LONGDATA}), rec.Messages());
    EXPECT_EQ("F0 01 02 F7", b.Recorded());
    rec.hook = nullptr;
}

TEST_F(InputCallbackControl, StopFromAReturnedBufferEndsTheDeliveries) {
    InputClient* pA = AddClient(0);
    InBuffer b(16);
    ASSERT_EQ(0u, AddBuffer(pA, b.Hdr()));
    rec.hook = [&](UINT uMsg, DWORD_PTR, DWORD_PTR) {
        if (uMsg != MIM_LONGDATA) return;
        EXPECT_EQ(0u, Message(pA, MIDM_STOP));
    };
    StartClient(pA);
    Send(0, "F0 01 90 3C 40");  // the 90 returns the buffer; the stop then holds
    EXPECT_EQ((std::vector<UINT>{MIM_LONGDATA}), rec.Messages());
    EXPECT_EQ("F0 01", b.Recorded());
    rec.hook = nullptr;
    // Started again, the parse begins afresh: no running status from the 90.
    StartClient(pA);
    Send(0, "3C");
    ASSERT_EQ((std::vector<UINT>{MIM_LONGDATA, MIM_ERROR}), rec.Messages());
    EXPECT_EQ(0x3Cu, rec.Seen()[1].dwParam1);
}

}  // namespace
}  // namespace vt
