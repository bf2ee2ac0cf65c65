// Input handles against the simulated kernel side: the device messages, open
// and close with everything they take and give back, the buffer queue at
// close and reset, and the failures of the timer and of the stream start.
#include <gtest/gtest.h>

#include "tests/in/sim_fixture.h"

namespace vt {
namespace {

using InputPorts = SimFixture;

TEST_F(InputPorts, DeviceMessagesCheckTheDeviceId) {
    MIDIINCAPSW caps = {};
    EXPECT_EQ(0u,
              midMessage(1, MIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), sizeof(caps)));
    EXPECT_NE(0u, caps.szPname[0]);
    MIDIINCAPSW untouched = {};
    EXPECT_EQ(DWORD(MMSYSERR_BADDEVICEID),
              midMessage(2, MIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&untouched),
                         sizeof(untouched)));
    EXPECT_EQ(0u, untouched.szPname[0]);
    // No record to fill: refused rather than written through.
    EXPECT_EQ(DWORD(MMSYSERR_INVALPARAM), midMessage(1, MIDM_GETDEVCAPS, 0, 0, sizeof(caps)));
    DWORD dwResult = 0;
    EXPECT_EQ(nullptr, Open(2, &rec, &dwResult));
    EXPECT_EQ(DWORD(MMSYSERR_BADDEVICEID), dwResult);
    EXPECT_EQ(0, pInstance->cAcquire);
    EXPECT_EQ(0u, rec.Count());
}

TEST_F(InputPorts, OpenThenCloseNotifiesOpenAndCloseOnly) {
    DWORD cTimers = VtHostTimerCount();
    LONG lPeriods = VtHostPeriodBalance();
    DWORD cHandles = VtHostHandleCount();
    InputClient* pClient = Open(1);
    ASSERT_NE(nullptr, pClient);
    EXPECT_EQ(cTimers + 1, VtHostTimerCount());
    EXPECT_EQ(1, pInstance->aStreams[2].cOpen);
    EXPECT_EQ(pClient, pInstance->apInClients[1]);
    EXPECT_EQ(0u, Close(1, pClient));

    std::vector<Notification> seen = rec.Seen();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(UINT(MIM_OPEN), seen[0].uMsg);
    EXPECT_EQ(UINT(MIM_CLOSE), seen[1].uMsg);
    for (const Notification& n : seen) {
        EXPECT_EQ(reinterpret_cast<HDRVR>(0x2001), n.hDrv);
        EXPECT_EQ(rec.Instance(), n.dwInstance);
        EXPECT_EQ(0u, n.dwParam1);
        EXPECT_EQ(0u, n.dwParam2);
    }
    EXPECT_EQ(cTimers, VtHostTimerCount());
    EXPECT_EQ(lPeriods, VtHostPeriodBalance());
    EXPECT_EQ(cHandles, VtHostHandleCount());
    EXPECT_EQ(0, pInstance->cAcquire);
    EXPECT_EQ(0, pInstance->aStreams[2].cOpen);
    EXPECT_EQ(nullptr, pInstance->aStreams[2].pFifo);
    EXPECT_EQ(nullptr, pInstance->apInClients[1]);
}

TEST_F(InputPorts, SeveralHandlesShareOneStream) {
    DWORD cTimers = VtHostTimerCount();
    InputClient* pA1 = Open(0);
    InputClient* pA2 = Open(0);
    InputClient* pB = Open(1);
    ASSERT_TRUE(pA1 && pA2 && pB);
    EXPECT_EQ(cTimers + 3, VtHostTimerCount());
    EXPECT_EQ(pA1, pInstance->apInClients[0]);
    EXPECT_EQ(pA2, pA1->pNext);
    EXPECT_EQ(nullptr, pA2->pNext);
    EXPECT_EQ(pB, pInstance->apInClients[1]);
    EXPECT_EQ(3, pInstance->aStreams[2].cOpen);
    EXPECT_EQ(3, pInstance->cAcquire);
    EXPECT_EQ(1u, sim.Stats(0)["start_in"]);

    // Closing the first leaves the list linked around it and the stream up.
    EXPECT_EQ(0u, Close(0, pA1));
    EXPECT_EQ(pA2, pInstance->apInClients[0]);
    EXPECT_EQ(2, pInstance->aStreams[2].cOpen);
    EXPECT_EQ(0u, sim.Stats(0)["stop"]);
    EXPECT_EQ(0u, Close(1, pB));
    EXPECT_EQ(0u, Close(0, pA2));
    EXPECT_EQ(1u, sim.Stats(0)["stop"]);
    EXPECT_EQ(cTimers, VtHostTimerCount());
    EXPECT_EQ(0, pInstance->cAcquire);
}

TEST_F(InputPorts, CloseWithBuffersQueuedIsRefusedUntilReset) {
    InputClient* pClient = Open(0);
    ASSERT_NE(nullptr, pClient);
    EXPECT_EQ(0u, Message(0, pClient, MIDM_START));
    InBuffer b1(32), b2(32);
    ASSERT_EQ(0u, Message(0, pClient, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(b1.Hdr())));
    ASSERT_EQ(0u, Message(0, pClient, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(b2.Hdr())));
    rec.Clear();

    EXPECT_EQ(DWORD(MIDIERR_STILLPLAYING), Close(0, pClient));
    EXPECT_EQ(0u, rec.Count());
    EXPECT_NE(0, pClient->bState & kInStarted);  // left as it was
    EXPECT_EQ(1, pInstance->cAcquire);

    EXPECT_EQ(0u, Message(0, pClient, MIDM_RESET));
    EXPECT_EQ((std::vector<UINT>{MIM_LONGDATA, MIM_LONGDATA}), rec.Messages());
    EXPECT_EQ(reinterpret_cast<DWORD_PTR>(b1.Hdr()), rec.Seen()[0].dwParam1);
    EXPECT_EQ(reinterpret_cast<DWORD_PTR>(b2.Hdr()), rec.Seen()[1].dwParam1);
    EXPECT_EQ(0u, Close(0, pClient));
    EXPECT_EQ((std::vector<UINT>{MIM_LONGDATA, MIM_LONGDATA, MIM_CLOSE}), rec.Messages());
    EXPECT_EQ(0, pInstance->cAcquire);
}

// A close of a handle whose close is under way, as from inside its own
// MIM_CLOSE, is refused at once; the first close completes as usual.
TEST_F(InputPorts, CloseDuringItsOwnCloseIsAnInvalidHandle) {
    InputClient* pClient = Open(1);
    ASSERT_NE(nullptr, pClient);
    DWORD dwSecond = 0xFFFF;
    rec.hook = [&](UINT uMsg, DWORD_PTR, DWORD_PTR) {
        if (uMsg == MIM_CLOSE) dwSecond = Close(1, pClient);
    };
    EXPECT_EQ(0u, Close(1, pClient));
    rec.hook = nullptr;
    EXPECT_EQ(DWORD(MMSYSERR_INVALHANDLE), dwSecond);
    EXPECT_EQ((std::vector<UINT>{MIM_OPEN, MIM_CLOSE}), rec.Messages());
    EXPECT_EQ(0, pInstance->cAcquire);
    EXPECT_EQ(0u, VtHostTimerCount());
}

// What an open takes before its timer fails is all given back, and the
// handle already open on the instance is not disturbed.
TEST_F(InputPorts, TimerFailuresGiveEverythingBack) {
    struct Failure {
        const char* what;
        std::function<void(bool)> inject;
        DWORD dwResult;
    };
    const Failure failures[] = {
        {"no timer services", [](bool f) { VtHostFailTimerCaps(f); }, MMSYSERR_ALLOCATED},
        {"timer refused", [](bool f) { VtHostFailTimerSet(f); }, MMSYSERR_ALLOCATED},
    };
    InputClient* pHeld = Open(1);  // the failures must not disturb an open handle
    ASSERT_NE(nullptr, pHeld);
    rec.Clear();
    LONG cNtAcquire = SharedDataOfSystem()->cNtAcquire[0];
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.what);
        DWORD cTimers = VtHostTimerCount();
        LONG lPeriods = VtHostPeriodBalance();
        DWORD cHandles = VtHostHandleCount();
        f.inject(true);
        DWORD dwResult = 0;
        InputClient* pClient = Open(0, &rec, &dwResult);
        f.inject(false);
        EXPECT_EQ(f.dwResult, dwResult);
        EXPECT_EQ(nullptr, pClient);
        EXPECT_EQ(cTimers, VtHostTimerCount());
        EXPECT_EQ(lPeriods, VtHostPeriodBalance());
        EXPECT_EQ(cHandles, VtHostHandleCount());
        EXPECT_EQ(1, pInstance->cAcquire);
        EXPECT_EQ(cNtAcquire, SharedDataOfSystem()->cNtAcquire[0]);
        EXPECT_EQ(1, pInstance->aStreams[2].cOpen);
        EXPECT_EQ(nullptr, pInstance->apInClients[0]);
        EXPECT_EQ(pHeld, pInstance->apInClients[1]);
        EXPECT_EQ(nullptr, pHeld->pNext);
    }
    EXPECT_EQ(0u, rec.Count());
    EXPECT_EQ(0u, Close(1, pHeld));
}

TEST_F(InputPorts, StreamStartFailureHoldsNothing) {
    LONG lPeriods = VtHostPeriodBalance();
    DWORD cHandles = VtHostHandleCount();
    sim.Ok("fail 0 start-immediate");
    DWORD dwResult = 0;
    EXPECT_EQ(nullptr, Open(0, &rec, &dwResult));
    EXPECT_EQ(DWORD(MMSYSERR_NOTENABLED), dwResult);
    EXPECT_EQ(0u, VtHostTimerCount());
    EXPECT_EQ(lPeriods, VtHostPeriodBalance());
    EXPECT_EQ(cHandles, VtHostHandleCount());
    EXPECT_EQ(0, pInstance->cAcquire);
    EXPECT_EQ(0, SharedDataOfSystem()->cNtAcquire[0]);
    EXPECT_EQ(0, pInstance->aStreams[2].cOpen);
    EXPECT_EQ(nullptr, pInstance->aStreams[2].pFifo);
    EXPECT_EQ(0u, rec.Count());
}

// The instance outlives its removal while handles are open; their timers
// must not, or a drain would run on after the driver is gone.
TEST_F(InputPorts, DisableWithHandlesOpenStopsEveryTimer) {
    InputClient* pA = Open(0);
    InputClient* pB = Open(1);
    ASSERT_TRUE(pA && pB);
    EXPECT_EQ(0u, Message(0, pA, MIDM_START));
    InBuffer b(16);
    ASSERT_EQ(0u, Message(0, pA, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(b.Hdr())));
    EXPECT_EQ(2u, VtHostTimerCount());

    EXPECT_EQ(1, DriverProc(0, nullptr, DRV_DISABLE, 0, 0));
    EXPECT_EQ(0u, VtHostTimerCount());
    EXPECT_EQ(0, VtHostPeriodBalance());
    EXPECT_EQ(pInstance, DevNodeToHardwareInstance(0));
    EXPECT_EQ(0u, pA->uTimerId);
    EXPECT_EQ(0u, pB->uTimerId);

    // The handles still close cleanly.
    EXPECT_EQ(0u, Message(0, pA, MIDM_RESET));
    EXPECT_EQ(0u, Close(0, pA));
    EXPECT_EQ(0u, Close(1, pB));
    EXPECT_EQ(DWORD(MHDR_PREPARED | MHDR_DONE), b.hdr.dwFlags);
    EXPECT_EQ((std::vector<UINT>{MIM_OPEN, MIM_OPEN, MIM_LONGDATA, MIM_CLOSE, MIM_CLOSE}),
              rec.Messages());
    EXPECT_EQ(0, pInstance->cAcquire);
    EXPECT_EQ(0, VtHostPeriodBalance());
    // Enabled again, as the loaded driver expects for its own disable at the end.
    EXPECT_EQ(1, DriverProc(0, nullptr, DRV_ENABLE, 0, 0));
}

}  // namespace
}  // namespace vt
