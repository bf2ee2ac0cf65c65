// Input from the simulated interface to the application's callback: bytes
// injected on an input, output looped back to input, and callbacks that call
// the driver again from the timer thread.
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <sstream>

#include "tests/in/sim_fixture.h"

namespace vt {
namespace {

using InputEndToEnd = SimFixture;

std::string InjectLine(unsigned node, char port, const std::vector<BYTE>& bytes) {
    std::ostringstream os;
    os << "inject " << node << ' ' << port << ' ' << HexString(bytes);
    return os.str();
}

TEST_F(InputEndToEnd, NoteOnReachesEveryStartedClientOfItsInputOnly) {
    NotificationRecorder recA, recB2;
    InputClient* pA = Open(0, &recA);
    InputClient* pB1 = Open(1);
    InputClient* pB2 = Open(1, &recB2);
    ASSERT_TRUE(pA && pB1 && pB2);
    for (auto [id, p] : {std::pair{0u, pA}, {1u, pB1}, {1u, pB2}})
        EXPECT_EQ(0u, Message(id, p, MIDM_START));
    recA.Clear();
    rec.Clear();
    recB2.Clear();

    sim.Ok("inject 0 B 90 3C 40");
    ASSERT_TRUE(TickUntil([&] { return rec.Count() >= 1 && recB2.Count() >= 1; }));
    Settle();
    for (NotificationRecorder* r : {&rec, &recB2}) {
        std::vector<Notification> seen = r->Seen();
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ(UINT(MIM_DATA), seen[0].uMsg);
        EXPECT_EQ(0x00403C90u, seen[0].dwParam1);
    }
    EXPECT_EQ(0u, recA.Count());

    for (auto [id, p] : {std::pair{0u, pA}, {1u, pB1}, {1u, pB2}})
        EXPECT_EQ(0u, Close(id, p));
}

TEST_F(InputEndToEnd, LongExclusiveFillsTheQueuedBuffersInOrder) {
    sim.Ok("rate 0 fast");
    InputClient* pA = Open(0);
    ASSERT_NE(nullptr, pA);
    std::vector<std::unique_ptr<InBuffer>> buffers;
    for (int i = 0; i < 5; ++i) {
        buffers.push_back(std::make_unique<InBuffer>(1000));
        ASSERT_EQ(
            0u, Message(0, pA, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(buffers.back()->Hdr())));
    }
    EXPECT_EQ(0u, Message(0, pA, MIDM_START));
    rec.Clear();

    std::vector<BYTE> sysex(4096);
    sysex.front() = 0xF0;
    for (size_t i = 1; i + 1 < sysex.size(); ++i)
        sysex[i] = static_cast<BYTE>((i * 7) & 0x7F);
    sysex.back() = 0xF7;
    sim.Ok(InjectLine(0, 'A', sysex));
    ASSERT_TRUE(TickUntil([&] { return rec.Count() >= 5; }));
    Settle();

    std::vector<Notification> seen = rec.Seen();
    ASSERT_EQ(5u, seen.size());
    std::vector<BYTE> got;
    for (size_t i = 0; i < seen.size(); ++i) {
        InBuffer& b = *buffers[i];
        EXPECT_EQ(UINT(MIM_LONGDATA), seen[i].uMsg);
        EXPECT_EQ(reinterpret_cast<DWORD_PTR>(b.Hdr()), seen[i].dwParam1);
        EXPECT_EQ(seen[0].dwParam2, seen[i].dwParam2) << "buffer " << i;
        EXPECT_EQ(i < 4 ? 1000u : 96u, b.hdr.dwBytesRecorded);
        EXPECT_EQ(DWORD(MHDR_PREPARED | MHDR_DONE), b.hdr.dwFlags);
        got.insert(got.end(), b.data.begin(), b.data.begin() + b.hdr.dwBytesRecorded);
    }
    EXPECT_TRUE(got == sysex);
    EXPECT_EQ(0u, Close(0, pA));
}

TEST_F(InputEndToEnd, OutputALoopsBackToInputA) {
    InputClient* pA = Open(0);
    ASSERT_NE(nullptr, pA);
    EXPECT_EQ(0u, Message(0, pA, MIDM_START));
    rec.Clear();
    MIDIOPENDESC desc = {};
    DWORD_PTR dwOut = 0;
    ASSERT_EQ(0u, modMessage(0, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&dwOut),
                             reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_NULL));
    const DWORD adwSent[] = {0x00403C90, 0x00403D90, 0x000005C0, 0x00002080};
    for (DWORD dw : adwSent)
        EXPECT_EQ(0u, modMessage(0, MODM_DATA, dwOut, dw, 0));

    ASSERT_TRUE(TickUntil([&] { return rec.Count() >= 4; }));
    Settle();
    std::vector<Notification> seen = rec.Seen();
    ASSERT_EQ(4u, seen.size());
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(UINT(MIM_DATA), seen[i].uMsg);
        EXPECT_EQ(adwSent[i], seen[i].dwParam1);
    }
    EXPECT_EQ(0u, modMessage(0, MODM_CLOSE, dwOut, 0, 0));
    EXPECT_EQ(0u, Close(0, pA));
}

// Callbacks that call the driver again run on the host's own timer thread
// here, where the drain holds the lock.
class InputReentry : public SimFixture {
  protected:
    void SetUp() override {
        SimFixture::SetUp();
        VtHostSetManualClock(FALSE);
    }
    // Waits for the callback side to report completion; a deadlock shows as
    // never reporting.
    bool AwaitDone() {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return fDone; });
    }
    void ReportDone() {
        std::lock_guard<std::mutex> lock(mutex);
        fDone = true;
        cv.notify_all();
    }
    std::mutex mutex;
    std::condition_variable cv;
    bool fDone = false;
};

TEST_F(InputReentry, CallbackQueuesTheNextBufferFromItsLongData) {
    InputClient* pA = Open(0);
    ASSERT_NE(nullptr, pA);
    std::vector<std::unique_ptr<InBuffer>> buffers;
    for (int i = 0; i < 8; ++i)
        buffers.push_back(std::make_unique<InBuffer>(16));
    size_t iNext = 1;
    std::vector<BYTE> got;
    rec.hook = [&](UINT uMsg, DWORD_PTR dw1, DWORD_PTR) {
        if (uMsg != MIM_LONGDATA) return;
        MIDIHDR* pHdr = reinterpret_cast<MIDIHDR*>(dw1);
        got.insert(got.end(), pHdr->lpData, pHdr->lpData + pHdr->dwBytesRecorded);
        if (iNext < buffers.size()) {
            MIDIHDR* pNextHdr = buffers[iNext++]->Hdr();
            EXPECT_EQ(0u, Message(0, pA, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(pNextHdr)));
        }
        if (!got.empty() && got.back() == 0xF7) ReportDone();
    };
    ASSERT_EQ(0u, Message(0, pA, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(buffers[0]->Hdr())));
    EXPECT_EQ(0u, Message(0, pA, MIDM_START));

    std::vector<BYTE> sysex(100);
    sysex.front() = 0xF0;
    for (size_t i = 1; i + 1 < sysex.size(); ++i)
        sysex[i] = static_cast<BYTE>(i);
    sysex.back() = 0xF7;
    sim.Ok(InjectLine(0, 'A', sysex));
    ASSERT_TRUE(AwaitDone());
    EXPECT_TRUE(got == sysex) << HexString(got);
    // 100 bytes: six full buffers and a seventh with four, each of the seven
    // answered by queueing one more.
    EXPECT_EQ(8u, iNext);
    EXPECT_EQ(0u, Message(0, pA, MIDM_RESET));
    rec.hook = nullptr;
    EXPECT_EQ(0u, Close(0, pA));
}

TEST_F(InputReentry, CallbackSendsOutputFromItsData) {
    NotificationRecorder recA;
    InputClient* pA = Open(0, &recA);
    InputClient* pB = Open(1);
    ASSERT_TRUE(pA && pB);
    MIDIOPENDESC desc = {};
    DWORD_PTR dwOut = 0;
    ASSERT_EQ(0u, modMessage(0, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&dwOut),
                             reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_NULL));
    // What input B receives is played on output A, which loops back to input A.
    rec.hook = [&](UINT uMsg, DWORD_PTR dw1, DWORD_PTR) {
        if (uMsg != MIM_DATA) return;
        EXPECT_EQ(0u, modMessage(0, MODM_DATA, dwOut, dw1 + 0x0100, 0));
    };
    recA.hook = [&](UINT uMsg, DWORD_PTR, DWORD_PTR) {
        if (uMsg == MIM_DATA) ReportDone();
    };
    EXPECT_EQ(0u, Message(0, pA, MIDM_START));
    EXPECT_EQ(0u, Message(1, pB, MIDM_START));

    sim.Ok("inject 0 B 90 3C 40");
    ASSERT_TRUE(AwaitDone());
    std::vector<Notification> seen = recA.Seen();
    ASSERT_EQ(2u, seen.size());  // MIM_OPEN, then the looped message
    EXPECT_EQ(UINT(MIM_DATA), seen[1].uMsg);
    EXPECT_EQ(0x00403D90u, seen[1].dwParam1);

    rec.hook = nullptr;
    recA.hook = nullptr;
    EXPECT_EQ(0u, modMessage(0, MODM_CLOSE, dwOut, 0, 0));
    EXPECT_EQ(0u, Close(0, pA));
    EXPECT_EQ(0u, Close(1, pB));
}

}  // namespace
}  // namespace vt
