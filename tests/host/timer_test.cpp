// The multimedia timer: capabilities and period balance, the manual clock and
// hand-driven ticks, killing timers from inside callbacks, and the guarantee
// that a timer is not running once timeKillEvent has returned.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "host/os/host.h"
#include "host/os/win32.h"
#include "tests/support/support.h"

namespace {

struct Tick {
    UINT id;
    UINT msg;
    DWORD_PTR user;
};

// Records every call; optionally runs an action inside it.
struct Recorder {
    std::vector<Tick> ticks;
    std::function<void(UINT)> action;
};

void CALLBACK Record(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    auto* r = reinterpret_cast<Recorder*>(user);
    r->ticks.push_back({id, msg, user});
    if (r->action) r->action(id);
}

class ManualTimer : public ::testing::Test {
  protected:
    void SetUp() override {
        VtHostSetManualClock(TRUE);
        baseline_ = VtHostTimerCount();
    }
    void TearDown() override {
        EXPECT_EQ(VtHostTimerCount(), baseline_) << "a timer was left alive";
        VtHostSetManualClock(FALSE);
    }
    DWORD baseline_ = 0;
};

TEST(TimerCaps, AnswerAsWinmm) {
    TIMECAPS tc{7, 7};
    EXPECT_EQ(timeGetDevCaps(&tc, sizeof tc), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(tc.wPeriodMin, 1u);
    EXPECT_EQ(tc.wPeriodMax, 1000000u);
    TIMECAPS untouched{7, 7};
    EXPECT_EQ(timeGetDevCaps(&untouched, sizeof untouched - 1),
              static_cast<MMRESULT>(TIMERR_STRUCT));
    EXPECT_EQ(untouched.wPeriodMin, 7u);
    EXPECT_EQ(timeGetDevCaps(nullptr, sizeof tc), static_cast<MMRESULT>(TIMERR_STRUCT));
    VtHostFailTimerCaps(TRUE);
    EXPECT_EQ(timeGetDevCaps(&untouched, sizeof untouched), static_cast<MMRESULT>(TIMERR_NOCANDO));
    EXPECT_EQ(untouched.wPeriodMin, 7u);
    VtHostFailTimerCaps(FALSE);
}

TEST(TimerPeriod, KeepsABalanceOfMatchedCalls) {
    LONG base = VtHostPeriodBalance();
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(4), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(VtHostPeriodBalance(), base + 3);
    EXPECT_EQ(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));
    EXPECT_EQ(timeEndPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));
    EXPECT_EQ(timeEndPeriod(2), static_cast<MMRESULT>(TIMERR_NOCANDO));  // never begun
    EXPECT_EQ(VtHostPeriodBalance(), base + 3);
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(4), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(4), static_cast<MMRESULT>(TIMERR_NOCANDO));
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(VtHostPeriodBalance(), base);
}

TEST_F(ManualTimer, ClockIsSetAndWrapsAt32Bits) {
    VtHostSetTime(1000);
    EXPECT_EQ(timeGetTime(), 1000u);
    VtHostAdvanceTime(5);
    EXPECT_EQ(timeGetTime(), 1005u);
    VtHostSetTime(0xFFFFFFFE);
    VtHostAdvanceTime(3);
    EXPECT_EQ(timeGetTime(), 1u);
}

TEST_F(ManualTimer, RefusesWhatItCannotDo) {
    Recorder r;
    DWORD_PTR user = reinterpret_cast<DWORD_PTR>(&r);
    EXPECT_EQ(timeSetEvent(0, 1, Record, user, TIME_PERIODIC), 0u);
    EXPECT_EQ(timeSetEvent(1000001, 1, Record, user, TIME_PERIODIC), 0u);
    EXPECT_EQ(timeSetEvent(1, 1, nullptr, user, TIME_PERIODIC), 0u);
    EXPECT_EQ(timeSetEvent(1, 1, Record, user, TIME_PERIODIC | 0x10), 0u);  // event callback
    VtHostFailTimerSet(TRUE);
    EXPECT_EQ(timeSetEvent(1, 1, Record, user, TIME_PERIODIC), 0u);
    VtHostFailTimerSet(FALSE);
    EXPECT_EQ(timeKillEvent(0), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(timeKillEvent(123456), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    VtHostRunTimers();
    EXPECT_TRUE(r.ticks.empty());
}

TEST_F(ManualTimer, RunTimersTicksEveryPeriodicTimerOnce) {
    Recorder a, b;
    UINT idA = timeSetEvent(1, 1, Record, reinterpret_cast<DWORD_PTR>(&a), TIME_PERIODIC);
    UINT idB = timeSetEvent(10, 1, Record, reinterpret_cast<DWORD_PTR>(&b), TIME_PERIODIC);
    ASSERT_NE(idA, 0u);
    ASSERT_NE(idB, 0u);
    EXPECT_NE(idA, idB);
    EXPECT_EQ(VtHostTimerCount(), baseline_ + 2);
    // No tick happens by itself under the manual clock.
    EXPECT_TRUE(a.ticks.empty());
    VtHostRunTimers();
    VtHostRunTimers();
    VtHostRunTimers();
    ASSERT_EQ(a.ticks.size(), 3u);
    ASSERT_EQ(b.ticks.size(), 3u);
    for (const Tick& t : a.ticks) {
        EXPECT_EQ(t.id, idA);
        EXPECT_EQ(t.msg, 0u);
        EXPECT_EQ(t.user, reinterpret_cast<DWORD_PTR>(&a));
    }
    EXPECT_EQ(timeKillEvent(idA), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeKillEvent(idA), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    VtHostRunTimers();
    EXPECT_EQ(a.ticks.size(), 3u);
    EXPECT_EQ(b.ticks.size(), 4u);
    EXPECT_EQ(timeKillEvent(idB), static_cast<MMRESULT>(TIMERR_NOERROR));
}

TEST_F(ManualTimer, OneShotFiresOnceWhenItsTimeComes) {
    VtHostSetTime(500);
    Recorder r;
    UINT id = timeSetEvent(20, 1, Record, reinterpret_cast<DWORD_PTR>(&r), TIME_ONESHOT);
    ASSERT_NE(id, 0u);
    VtHostAdvanceTime(19);
    VtHostRunTimers();
    EXPECT_TRUE(r.ticks.empty());
    VtHostAdvanceTime(1);
    VtHostRunTimers();
    VtHostRunTimers();
    ASSERT_EQ(r.ticks.size(), 1u);
    EXPECT_EQ(r.ticks[0].id, id);
    // Once fired it is gone.
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
}

TEST_F(ManualTimer, CallbackMayKillItselfOthersAndCreateNewTimers) {
    Recorder first, second, third, created;
    UINT idFirst = 0, idSecond = 0, idThird = 0, idCreated = 0;
    MMRESULT selfKill = 0xFFFF, otherKill = 0xFFFF;
    first.action = [&](UINT id) {
        // Kill a timer that this tick has not reached yet, then ourselves.
        otherKill = timeKillEvent(idSecond);
        selfKill = timeKillEvent(id);
        idCreated =
            timeSetEvent(1, 1, Record, reinterpret_cast<DWORD_PTR>(&created), TIME_PERIODIC);
    };
    idFirst = timeSetEvent(1, 1, Record, reinterpret_cast<DWORD_PTR>(&first), TIME_PERIODIC);
    idSecond = timeSetEvent(1, 1, Record, reinterpret_cast<DWORD_PTR>(&second), TIME_PERIODIC);
    idThird = timeSetEvent(1, 1, Record, reinterpret_cast<DWORD_PTR>(&third), TIME_PERIODIC);
    ASSERT_LT(idFirst, idSecond);  // ticks run in creation order here
    VtHostRunTimers();
    EXPECT_EQ(selfKill, static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(otherKill, static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(first.ticks.size(), 1u);
    EXPECT_TRUE(second.ticks.empty());
    EXPECT_EQ(third.ticks.size(), 1u);
    EXPECT_TRUE(created.ticks.empty());  // born during the tick: next tick
    ASSERT_NE(idCreated, 0u);
    first.action = nullptr;
    VtHostRunTimers();
    EXPECT_EQ(first.ticks.size(), 1u);
    EXPECT_EQ(third.ticks.size(), 2u);
    EXPECT_EQ(created.ticks.size(), 1u);
    EXPECT_EQ(timeKillEvent(idThird), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeKillEvent(idCreated), static_cast<MMRESULT>(TIMERR_NOERROR));
}

// The real timer thread.
struct Blocking {
    HANDLE hEntered;
    HANDLE hRelease;
    std::atomic<int> calls{0};
    std::atomic<bool> fInside{false};
    std::atomic<bool> fBlock{true};
};

void CALLBACK BlockingTick(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    auto* b = reinterpret_cast<Blocking*>(user);
    b->fInside = true;
    ++b->calls;
    if (b->fBlock.exchange(false)) {
        SetEvent(b->hEntered);
        WaitForSingleObject(b->hRelease, 10000);
    }
    b->fInside = false;
}

TEST(TimerThread, TicksPeriodicallyByItself) {
    Blocking b;
    b.hEntered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    b.hRelease = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    b.fBlock = false;
    UINT id = timeSetEvent(1, 1, BlockingTick, reinterpret_cast<DWORD_PTR>(&b), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(vt::Eventually([&] { return b.calls >= 5; }));
    EXPECT_GE(b.calls.load(), 5);
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(TIMERR_NOERROR));
    int after = b.calls;
    // Real time: a killed timer that still ran would show within periods.
    Sleep(20);
    EXPECT_EQ(b.calls.load(), after);  // never again once killed
    CloseHandle(b.hEntered);
    CloseHandle(b.hRelease);
}

TEST(TimerThread, KillWaitsForARunningCallback) {
    Blocking b;
    b.hEntered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    b.hRelease = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UINT id = timeSetEvent(1, 1, BlockingTick, reinterpret_cast<DWORD_PTR>(&b), TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(WaitForSingleObject(b.hEntered, 10000), WAIT_OBJECT_0);
    std::atomic<bool> fKilled{false};
    bool fInsideWhenKillReturned = true;
    std::thread killer([&] {
        EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(TIMERR_NOERROR));
        fInsideWhenKillReturned = b.fInside;
        fKilled = true;
    });
    // Real time: a kill that did not wait would return within it.
    Sleep(20);  // let the killer reach its wait; correctness does not hang on it
    EXPECT_FALSE(fKilled.load());
    SetEvent(b.hRelease);
    killer.join();
    EXPECT_FALSE(fInsideWhenKillReturned);
    int after = b.calls;
    Sleep(10);  // real time: a call after the kill would come within periods
    EXPECT_EQ(b.calls.load(), after);
    CloseHandle(b.hEntered);
    CloseHandle(b.hRelease);
}

TEST(TimerThread, CallbackKillingItselfDoesNotDeadlock) {
    struct Self {
        UINT id = 0;
        HANDLE hDone;
        std::atomic<int> calls{0};
        MMRESULT result = 0xFFFF;
    } s;
    s.hDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto proc = [](UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
        auto* p = reinterpret_cast<Self*>(user);
        if (p->calls++ == 0) {
            p->result = timeKillEvent(id);
            SetEvent(p->hDone);
        }
    };
    s.id = timeSetEvent(1, 1, proc, reinterpret_cast<DWORD_PTR>(&s), TIME_PERIODIC);
    ASSERT_NE(s.id, 0u);
    ASSERT_EQ(WaitForSingleObject(s.hDone, 10000), WAIT_OBJECT_0);
    Sleep(10);  // real time: a second call would come within periods
    EXPECT_EQ(s.result, static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(s.calls.load(), 1);
    CloseHandle(s.hDone);
}

TEST(ClockWait, EndsAtItsTimeOrAtItsEventAndNeverBefore) {
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(ev, nullptr);
    uint64_t due = VtHostClockUs() + 2000;
    EXPECT_EQ(VtHostWaitEventUntil(ev, due), WAIT_TIMEOUT);
    EXPECT_GE(VtHostClockUs(), due);
    ASSERT_TRUE(SetEvent(ev));
    EXPECT_EQ(VtHostWaitEventUntil(ev, UINT64_MAX), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "the wait took the auto-reset";
    EXPECT_TRUE(CloseHandle(ev));
    EXPECT_EQ(VtHostWaitEventUntil(ev, UINT64_MAX), WAIT_FAILED);
}

}  // namespace
