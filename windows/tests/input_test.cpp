// Input on Win32: the byte parser, driven through the ring and the drain with
// the clock the test sets, and the periodic multimedia timer that drains the
// input ring.
#include "midiin/midiin.h"
#include "windows/tests/wintest.h"

namespace vtw {
namespace {

class InputParser : public DriverFixture {
  protected:
    void SetUp() override {
        DriverFixture::SetUp();
        pInstance = Instance(3);
        pStream = &pInstance->aStreams[2];
        ASSERT_EQ(AllocateFIFO(pStream, pInstance), 1);
        pStream->cOpen = 1;
        for (InputClient* p : {&a, &b}) {
            p->pInstance = pInstance;
            p->dwFlags = CALLBACK_FUNCTION;
            p->dwCallback = reinterpret_cast<DWORD_PTR>(&NoteCallback);
            p->bState = kInStarted;
            p->dwStartTime = 1000;
        }
        a.dwInstance = 0xA;
        b.dwInstance = 0xB;
        ASSERT_TRUE(midAddClient(pInstance, &a, 0));
        ASSERT_TRUE(midAddClient(pInstance, &b, 1));
        SetClock(1000);
    }
    void TearDown() override {
        midRemoveClient(pInstance, &a, 0);
        midRemoveClient(pInstance, &b, 1);
        pStream->cOpen = 0;
        DriverFixture::TearDown();
    }
    // The bytes as the kernel side puts them into the ring, one a packet,
    // then one tick of the drain.
    void Bytes(DWORD port, std::initializer_list<BYTE> bytes) {
        MidiFifo* pFifo = pStream->pFifo;
        for (BYTE by : bytes) {
            uint32_t i = pFifo->iWrite;
            FifoSlot(pFifo, i) = FifoPacket(by, 1, port);
            pFifo->iWrite = FifoNextIndex(i, pFifo->cdwSize);
        }
        mmTimerIntr(0, 0, reinterpret_cast<DWORD_PTR>(pInstance), 0, 0);
    }
    HardwareInstance* pInstance = nullptr;
    PortStream* pStream = nullptr;
    InputClient a = {}, b = {};
};

TEST_F(InputParser, ShortMessagesAreTimedFromTheClientsStart) {
    SetClock(1250);
    Bytes(1, {0x90, 0x3C});
    SetClock(1300);
    Bytes(1, {0x40, 0x3E, 0x41, 0xF8});
    ASSERT_EQ(gNotes.size(), 3u);
    // The message keeps the time of its first byte; running status repeats 0x90.
    EXPECT_EQ(gNotes[0].uMsg, UINT(MIM_DATA));
    EXPECT_EQ(gNotes[0].dwInstance, 0xBu);
    EXPECT_EQ(gNotes[0].dwParam1, 0x403C90u);
    EXPECT_EQ(gNotes[0].dwParam2, 250u);
    EXPECT_EQ(gNotes[1].dwParam1, 0x413E90u);
    EXPECT_EQ(gNotes[1].dwParam2, 300u);
    EXPECT_EQ(gNotes[2].dwParam1, 0xF8u);
    // Input A's client heard nothing of input B.
    EXPECT_EQ(a.bRunningStatus, 0);
}

TEST_F(InputParser, StoppedClientsReceiveNothing) {
    a.bState = 0;
    Bytes(0, {0xC5, 0x10, 0xF8});
    EXPECT_TRUE(gNotes.empty());
    midStart(&a);
    Bytes(0, {0xC5, 0x11});
    ASSERT_EQ(gNotes.size(), 1u);
    EXPECT_EQ(gNotes[0].dwParam1, 0x11C5u);
    EXPECT_EQ(gNotes[0].dwInstance, 0xAu);
}

TEST_F(InputParser, SysexFillsTheQueuedBuffer) {
    char ab[16] = {};
    MIDIHDR hdr = {};
    hdr.lpData = ab;
    hdr.dwBufferLength = sizeof ab;
    hdr.dwFlags = MHDR_PREPARED;
    ASSERT_EQ(midAddBuffer(pInstance, &a, &hdr), 0u);
    EXPECT_EQ(hdr.dwFlags, DWORD(MHDR_PREPARED | MHDR_INQUEUE));
    SetClock(1040);
    Bytes(0, {0xF0, 0x7E, 0x09, 0xF7});
    ASSERT_EQ(gNotes.size(), 1u);
    EXPECT_EQ(gNotes[0].uMsg, UINT(MIM_LONGDATA));
    EXPECT_EQ(gNotes[0].dwParam1, reinterpret_cast<DWORD_PTR>(&hdr));
    EXPECT_EQ(gNotes[0].dwParam2, 40u);
    EXPECT_EQ(hdr.dwBytesRecorded, 4u);
    EXPECT_EQ(hdr.dwFlags, DWORD(MHDR_PREPARED | MHDR_DONE));
    EXPECT_EQ(std::string(ab, 4), std::string("\xF0\x7E\x09\xF7", 4));
    EXPECT_EQ(a.pQueue, nullptr);
}

// ---- the multimedia timer

// The timer test's callback runs on winmm's timer thread: it only counts and
// signals.
LONG gcTimerNotes = 0;
DWORD_PTR gdwLastTimerMsg = 0;
HANDLE ghTimerNote = nullptr;
void CALLBACK TimerNoteCallback(HDRVR, UINT uMsg, DWORD_PTR, DWORD_PTR dw1, DWORD_PTR) {
    if (uMsg != MIM_DATA) return;
    gdwLastTimerMsg = dw1;
    InterlockedIncrement(&gcTimerNotes);
    SetEvent(ghTimerNote);
}

// An input client on node 2's input B whose timer drains the ring into
// TimerNoteCallback.
class InputTimer : public DriverFixture {
  protected:
    void SetUp() override {
        DriverFixture::SetUp();
        p = Instance(2);
        pStream = &p->aStreams[2];
        ASSERT_EQ(AllocateFIFO(pStream, p), 1);
        pStream->cOpen = 1;
        pFifo = pStream->pFifo;
        pFifo->dwMagic = 0xC00C1E02;
        ghTimerNote = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        gcTimerNotes = 0;
        client.pInstance = p;
        client.dwFlags = CALLBACK_FUNCTION;
        client.dwCallback = reinterpret_cast<DWORD_PTR>(&TimerNoteCallback);
        client.bState = kInStarted;
        ASSERT_TRUE(midAddClient(p, &client, 1));
        ASSERT_TRUE(mmTimerEnable(&client));
        EXPECT_NE(client.uTimerId, 0u);
    }
    void TearDown() override {
        mmTimerDisable(&client);
        midRemoveClient(p, &client, 1);
        pStream->cOpen = 0;
        CloseHandle(ghTimerNote);
        DriverFixture::TearDown();
    }
    // Puts a packet in the ring as the kernel side does, and waits until a
    // tick has delivered it.
    void DeliverPacket(uint32_t dwPacket) {
        CriticalSection(kCsEnter, p);
        uint32_t i = pFifo->iWrite;
        FifoSlot(pFifo, i) = dwPacket;
        pFifo->iWrite = i + 1;
        CriticalSection(kCsLeave, p);
        ASSERT_EQ(WaitForSingleObject(ghTimerNote, 30000), WAIT_OBJECT_0);
    }
    HardwareInstance* p = nullptr;
    PortStream* pStream = nullptr;
    MidiFifo* pFifo = nullptr;
    InputClient client = {};
};

TEST_F(InputTimer, PeriodicTicksDrainTheRing) {
    // Two packets written at different moments: each is drained by a tick.
    DeliverPacket(0x13403C90u);
    DeliverPacket(0x13003E40u);
    EXPECT_EQ(gcTimerNotes, 2);
    EXPECT_EQ(gdwLastTimerMsg, 0x3E4090u);  // running status 0x90
    EXPECT_EQ(pFifo->iRead, 8u);
}

TEST_F(InputTimer, NoDrainRunsAfterTheTimerIsKilled) {
    // Killed while the drain that delivered the packet may still be running:
    // once mmTimerDisable returns, nothing may touch the ring any more (the
    // instance may be freed next).
    DeliverPacket(0x13403C90u);
    mmTimerDisable(&client);
    EXPECT_EQ(client.uTimerId, 0u);
    FifoSlot(pFifo, 7) = 0x110000F8;
    Sleep(50);  // dozens of periods of a timer that must not run any more
    EXPECT_EQ(FifoSlot(pFifo, 7), 0x110000F8u);
    EXPECT_EQ(gcTimerNotes, 1);
}

// The application's callback waits for the application's own lock, which the
// thread that kills the client's timer holds: the kill must not wait for that
// callback. The tick kills the timer once the callback has returned.
CRITICAL_SECTION gAppLock;
void CALLBACK LockingCallback(HDRVR, UINT uMsg, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (uMsg != MIM_DATA) return;
    SetEvent(ghTimerNote);
    EnterCriticalSection(&gAppLock);
    InterlockedIncrement(&gcTimerNotes);
    LeaveCriticalSection(&gAppLock);
}

DWORD WINAPI KillTimerOf(LPVOID pClient) {
    mmTimerDisable(static_cast<InputClient*>(pClient));
    return 0;
}

TEST_F(InputTimer, AKillDoesNotWaitForACallbackWaitingForTheKillersLock) {
    InitializeCriticalSection(&gAppLock);
    client.dwCallback = reinterpret_cast<DWORD_PTR>(&LockingCallback);
    EnterCriticalSection(&gAppLock);
    DeliverPacket(0x13403C90u);  // the callback now waits for the lock
    HANDLE hKiller = CreateThread(nullptr, 0, &KillTimerOf, &client, 0, nullptr);
    ASSERT_NE(hKiller, nullptr);
    DWORD dwWait = WaitForSingleObject(hKiller, 10000);
    LeaveCriticalSection(&gAppLock);  // a kill that waited for the callback goes on now
    EXPECT_EQ(dwWait, WAIT_OBJECT_0) << "the kill waited for the callback";
    WaitForSingleObject(hKiller, INFINITE);
    CloseHandle(hKiller);
    for (int i = 0; i < 10000 && p->cTimers != 0; ++i)
        Sleep(1);
    EXPECT_EQ(p->cTimers, 0);
    EXPECT_EQ(gcTimerNotes, 1);
    DeleteCriticalSection(&gAppLock);
}

}  // namespace
}  // namespace vtw
