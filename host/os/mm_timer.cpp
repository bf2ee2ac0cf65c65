// The multimedia timer: timeSetEvent and timeKillEvent with one timer thread
// per process, timeGetTime, the period balance and timer capabilities, and
// the manual clock that lets tests drive time and ticks themselves.
//
// Locking: one mutex guards every timer record. It is never held while a
// callback runs, so a callback may create or kill timers. A record counts the
// batches of callbacks (a tick's, on one thread) that hold it; timeKillEvent
// waits for that count to fall to the batches the killing thread itself is
// inside of. The clock takes no lock:
// timeGetTime runs for every input byte, so the manual clock's switch and
// value are atomics (changed under the mutex, read without it).
//
// Ticks: every timer's due times lie on one grid of whole milliseconds, so
// timers of one period come due together and one wake-up of the timer thread
// serves them all, however many there are. The grid starts when the process
// first uses the timer, so the ticks of different processes do not all
// compete for the processor at the same instant.
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "host/os/internal.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr UINT kPeriodMin = 1;
constexpr UINT kPeriodMax = 1000000;
constexpr UINT TIME_KILL_SYNCHRONOUS_FLAG = 0x0100;  // always the behaviour here

struct Timer {
    UINT id;
    UINT delay;
    LPTIMECALLBACK proc;
    DWORD_PTR user;
    bool periodic;
    Clock::time_point due;            // next tick on the timer thread
    DWORD dueManual;                  // when a one-shot fires under the manual clock
    std::atomic<bool> killed{false};  // set under the lock, read without it by a batch
    int running = 0;                  // batches (one a thread) that hold it now
};

struct TimerState {
    std::mutex m;
    std::condition_variable wake;  // the timer thread: timers or the clock changed
    std::condition_variable done;  // a callback returned
    std::map<UINT, std::shared_ptr<Timer>> timers;
    UINT nextId = 1;
    bool threadStarted = false;
    std::atomic<bool> manual{false};
    std::atomic<DWORD> manualNow{0};
    const Clock::time_point gridOrigin = Clock::now();  // a tick of the grid
    std::map<UINT, LONG> periods;
    LONG balance = 0;
    bool failCaps = false;
    bool failSet = false;
};

// Leaked: the timer thread may still run while the process exits.
TimerState& State() {
    static TimerState* state = new TimerState;
    return *state;
}

// The callbacks this thread is inside of, innermost last.
thread_local std::vector<const Timer*> tlsRunning;

DWORD RealMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                              static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

DWORD NowMs(const TimerState& s) {
    return s.manual.load(std::memory_order_acquire) ? s.manualNow.load(std::memory_order_relaxed)
                                                    : RealMs();
}

// The first tick of the grid at or after t.
Clock::time_point OnGrid(const TimerState& s, Clock::time_point t) {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - s.gridOrigin);
    return s.gridOrigin + std::chrono::duration_cast<Clock::duration>(ms);
}

// Runs one callback of each timer of a tick with the lock released around
// them all: one unlock for the whole tick, however many timers there are.
// Each timer counts as running for the whole batch, so a timeKillEvent on
// another thread returns only once the batch is done, and a timer killed
// meanwhile (by an earlier callback, or by another thread before its turn)
// is skipped; so are all that remain once the test takes the clock over,
// unless fManual. A one-shot timer is gone once it has fired.
void RunBatch(TimerState& s, std::unique_lock<std::mutex>& lock,
              const std::vector<std::shared_ptr<Timer>>& batch, bool fManual) {
    for (const auto& t : batch) {
        ++t->running;
        tlsRunning.push_back(t.get());
    }
    std::vector<Timer*> oneShotsFired;
    lock.unlock();
    for (const auto& t : batch) {
        if (t->killed || (!fManual && s.manual)) continue;
        t->proc(t->id, 0, t->user, 0, 0);
        if (!t->periodic) oneShotsFired.push_back(t.get());
    }
    lock.lock();
    tlsRunning.resize(tlsRunning.size() - batch.size());
    for (const auto& t : batch)
        --t->running;
    for (Timer* t : oneShotsFired) {
        if (t->killed) continue;
        t->killed = true;
        s.timers.erase(t->id);
    }
    s.done.notify_all();
}

void TimerThread() {
    // Ticks on time, as the multimedia timer's with a period of 1 ms: no
    // timer slack on this thread (the default lets a wake-up come up to 50 us
    // late, to be merged with others).
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    TimerState& s = State();
    std::unique_lock<std::mutex> lock(s.m);
    std::vector<std::shared_ptr<Timer>> due;  // the timers of one tick
    for (;;) {
        if (s.manual || s.timers.empty()) {
            s.wake.wait(lock);
            continue;
        }
        Clock::time_point earliest = Clock::time_point::max();
        for (const auto& entry : s.timers)
            earliest = std::min(earliest, entry.second->due);
        Clock::time_point now = Clock::now();
        if (now < earliest) {
            s.wake.wait_until(lock, earliest);
            continue;
        }
        due.clear();
        for (const auto& entry : s.timers) {
            const std::shared_ptr<Timer>& t = entry.second;
            if (t->due > now) continue;
            if (t->periodic) {
                // Keep the phase; ticks that are already late are dropped
                // rather than run in a burst.
                auto period = std::chrono::milliseconds(t->delay);
                t->due += period;
                if (t->due <= now) t->due += period * ((now - t->due) / period + 1);
            }
            due.push_back(t);
        }
        RunBatch(s, lock, due, false);
    }
}

bool StartThreadLocked(TimerState& s) {
    if (s.threadStarted) return true;
    try {
        std::thread(TimerThread).detach();
    } catch (const std::system_error&) {
        return false;
    }
    s.threadStarted = true;
    return true;
}

}  // namespace

extern "C" {

MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS ptc, UINT cbtc) {
    TimerState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.m);
        if (s.failCaps) return TIMERR_NOCANDO;
    }
    if (!ptc || cbtc != sizeof(TIMECAPS)) return TIMERR_STRUCT;
    ptc->wPeriodMin = kPeriodMin;
    ptc->wPeriodMax = kPeriodMax;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeBeginPeriod(UINT uPeriod) {
    if (uPeriod < kPeriodMin || uPeriod > kPeriodMax) return TIMERR_NOCANDO;
    TimerState& s = State();
    std::lock_guard<std::mutex> lock(s.m);
    ++s.periods[uPeriod];
    ++s.balance;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeEndPeriod(UINT uPeriod) {
    TimerState& s = State();
    std::lock_guard<std::mutex> lock(s.m);
    // As winmm: an end without a matching begin of the same period fails.
    auto it = s.periods.find(uPeriod);
    if (it == s.periods.end()) return TIMERR_NOCANDO;
    if (--it->second == 0) s.periods.erase(it);
    --s.balance;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeSetEvent(UINT uDelay, UINT, LPTIMECALLBACK lpTimeProc, DWORD_PTR dwUser,
                             UINT fuEvent) {
    // Only function callbacks exist here; event-setting timers are refused.
    if (!lpTimeProc || uDelay < kPeriodMin || uDelay > kPeriodMax ||
        (fuEvent & ~(TIME_PERIODIC | TIME_KILL_SYNCHRONOUS_FLAG)) != 0)
        return 0;
    TimerState& s = State();
    std::lock_guard<std::mutex> lock(s.m);
    if (s.failSet || !StartThreadLocked(s)) return 0;
    auto t = std::make_shared<Timer>();
    while (s.nextId == 0 || s.timers.count(s.nextId))
        ++s.nextId;
    t->id = s.nextId++;
    t->delay = uDelay;
    t->proc = lpTimeProc;
    t->user = dwUser;
    t->periodic = (fuEvent & TIME_PERIODIC) != 0;
    t->due = OnGrid(s, Clock::now() + std::chrono::milliseconds(uDelay));
    t->dueManual = NowMs(s) + uDelay;
    s.timers[t->id] = t;
    s.wake.notify_all();
    return t->id;
}

MMRESULT WINAPI timeKillEvent(UINT uTimerID) {
    TimerState& s = State();
    std::unique_lock<std::mutex> lock(s.m);
    auto it = s.timers.find(uTimerID);
    if (it == s.timers.end()) return MMSYSERR_INVALPARAM;
    std::shared_ptr<Timer> t = it->second;
    s.timers.erase(it);
    t->killed = true;
    s.wake.notify_all();
    // Wait for callbacks on other threads; one this thread is inside of
    // (a callback killing its own timer) cannot be waited for.
    int mine = static_cast<int>(std::count(tlsRunning.begin(), tlsRunning.end(), t.get()));
    s.done.wait(lock, [&] { return t->running <= mine; });
    return TIMERR_NOERROR;
}

DWORD WINAPI timeGetTime(void) {
    return NowMs(State());
}

void VtHostSetManualClock(BOOL fManual) {
    TimerState& s = State();
    std::lock_guard<std::mutex> lock(s.m);
    bool manual = fManual != FALSE;
    if (manual == s.manual) return;
    if (manual) {
        s.manualNow.store(RealMs(), std::memory_order_relaxed);
    } else {
        // Back on the real clock: every timer starts a fresh period now.
        Clock::time_point now = Clock::now();
        for (auto& entry : s.timers)
            entry.second->due = OnGrid(s, now + std::chrono::milliseconds(entry.second->delay));
    }
    s.manual.store(manual, std::memory_order_release);
    s.wake.notify_all();
}

void VtHostSetTime(DWORD dwMs) {
    State().manualNow.store(dwMs, std::memory_order_relaxed);
}

void VtHostAdvanceTime(DWORD dwMs) {
    State().manualNow.fetch_add(dwMs, std::memory_order_relaxed);
}

void VtHostRunTimers(void) {
    TimerState& s = State();
    std::unique_lock<std::mutex> lock(s.m);
    std::vector<std::shared_ptr<Timer>> due;
    for (const auto& entry : s.timers) {
        const std::shared_ptr<Timer>& t = entry.second;
        // A one-shot fires once the manual clock reaches its time.
        if (t->periodic || static_cast<int32_t>(NowMs(s) - t->dueManual) >= 0) due.push_back(t);
    }
    RunBatch(s, lock, due, true);
}

DWORD VtHostTimerCount(void) {
    TimerState& s = State();
    std::lock_guard<std::mutex> lock(s.m);
    return static_cast<DWORD>(s.timers.size());
}

LONG VtHostPeriodBalance(void) {
    TimerState& s = State();
    std::lock_guard<std::mutex> lock(s.m);
    return s.balance;
}

void VtHostFailTimerCaps(BOOL fFail) {
    TimerState& s = State();
    std::lock_guard<std::mutex> lock(s.m);
    s.failCaps = fFail != FALSE;
}

void VtHostFailTimerSet(BOOL fFail) {
    TimerState& s = State();
    std::lock_guard<std::mutex> lock(s.m);
    s.failSet = fFail != FALSE;
}

}  // extern "C"
