// The multimedia timer: timeSetEvent and timeKillEvent with one timer thread
// per process, timeGetTime, the period balance and timer capabilities, and
// the manual clock that lets tests drive time and ticks themselves, and the
// waits of players on the clock (VtHostWaitEventUntil).
//
// Locking: one mutex guards every timer record. It is never held while a
// callback runs, so a callback may create or kill timers. A record counts the
// batches of callbacks (a tick's, on one thread) that hold it; timeKillEvent
// waits for that count to fall to the batches the killing thread itself is
// inside of. The clock takes no lock:
// timeGetTime runs for every input byte, so the manual clock's switch and
// value are atomics (changed under the mutex, read without it). The mutex also
// guards the list of threads waiting on the clock, which every move of the
// manual clock wakes.
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

// A thread in VtHostWaitEventUntil: its event, what it waits for, and whether
// it has looked at the clock and its event and gone to sleep (a clock move
// or a set of its event since then wakes it again).
struct ClockWaiter {
    std::shared_ptr<vthost::Event> event;
    uint64_t due;
    bool blocked = false;
    uint64_t clockSeen = 0;  // the clock's move count when it went to sleep
};

struct TimerState {
    std::mutex m;
    std::condition_variable wake;  // the timer thread: timers or the clock changed
    std::condition_variable done;  // a callback returned
    std::map<UINT, std::shared_ptr<Timer>> timers;
    UINT nextId = 1;
    bool threadStarted = false;
    std::atomic<bool> manual{false};
    std::atomic<uint64_t> manualUs{0};  // the manual clock, in microseconds
    std::vector<ClockWaiter*> waiters;
    uint64_t clockMoves = 0;                 // how often the test moved the clock
    std::condition_variable waitersChanged;  // a waiter went to sleep, left, or the clock moved
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

uint64_t RealUs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
            .count());
}

uint64_t NowUs(const TimerState& s) {
    return s.manual.load(std::memory_order_acquire) ? s.manualUs.load(std::memory_order_relaxed)
                                                    : RealUs();
}

DWORD NowMs(const TimerState& s) {
    return s.manual.load(std::memory_order_acquire)
               ? static_cast<DWORD>(s.manualUs.load(std::memory_order_relaxed) / 1000)
               : RealMs();
}

// After the clock moved (the lock held): every waiter looks at it again.
void ClockMovedLocked(TimerState& s, std::unique_lock<std::mutex>& lock) {
    ++s.clockMoves;
    std::vector<std::shared_ptr<vthost::Event>> events;
    for (ClockWaiter* w : s.waiters)
        events.push_back(w->event);
    s.waitersChanged.notify_all();
    lock.unlock();
    for (const auto& e : events)
        e->Poke();
    lock.lock();
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
    std::unique_lock<std::mutex> lock(s.m);
    bool manual = fManual != FALSE;
    if (manual == s.manual) return;
    if (manual) {
        s.manualUs.store(RealUs(), std::memory_order_relaxed);
    } else {
        // Back on the real clock: every timer starts a fresh period now.
        Clock::time_point now = Clock::now();
        for (auto& entry : s.timers)
            entry.second->due = OnGrid(s, now + std::chrono::milliseconds(entry.second->delay));
    }
    s.manual.store(manual, std::memory_order_release);
    s.wake.notify_all();
    ClockMovedLocked(s, lock);
}

void VtHostSetTime(DWORD dwMs) {
    TimerState& s = State();
    std::unique_lock<std::mutex> lock(s.m);
    s.manualUs.store(static_cast<uint64_t>(dwMs) * 1000u, std::memory_order_relaxed);
    ClockMovedLocked(s, lock);
}

void VtHostAdvanceTime(DWORD dwMs) {
    TimerState& s = State();
    std::unique_lock<std::mutex> lock(s.m);
    s.manualUs.fetch_add(static_cast<uint64_t>(dwMs) * 1000u, std::memory_order_relaxed);
    ClockMovedLocked(s, lock);
}

uint64_t VtHostClockUs(void) {
    return NowUs(State());
}

DWORD VtHostWaitEventUntil(HANDLE hEvent, uint64_t qwDueUs) {
    auto event = vthost::HandleOfKind<vthost::Event>(hEvent);
    if (!event) return WAIT_FAILED;
    TimerState& s = State();
    ClockWaiter waiter{event, qwDueUs};
    {
        std::lock_guard<std::mutex> lock(s.m);
        s.waiters.push_back(&waiter);
    }
    DWORD r = event->WaitUntil([&](bool fSet, Clock::time_point* pDeadline) {
        std::lock_guard<std::mutex> lock(s.m);
        waiter.blocked = false;
        if (fSet || (qwDueUs != UINT64_MAX && NowUs(s) >= qwDueUs)) return true;
        if (!s.manual && qwDueUs != UINT64_MAX)
            *pDeadline = Clock::time_point(std::chrono::microseconds(qwDueUs));
        waiter.blocked = true;
        waiter.clockSeen = s.clockMoves;
        s.waitersChanged.notify_all();
        return false;
    });
    std::lock_guard<std::mutex> lock(s.m);
    s.waiters.erase(std::find(s.waiters.begin(), s.waiters.end(), &waiter));
    s.waitersChanged.notify_all();
    return r;
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

uint64_t VtHostNextClockWait(DWORD dwTimeoutMs) {
    TimerState& s = State();
    std::unique_lock<std::mutex> lock(s.m);
    uint64_t earliest = 0;
    auto found = [&] {
        uint64_t now = NowUs(s);
        earliest = 0;
        // Settled: asleep since the clock last moved, its event not set.
        for (const ClockWaiter* w : s.waiters)
            if (w->blocked && w->clockSeen == s.clockMoves && !w->event->Signaled() &&
                w->due > now && (earliest == 0 || w->due < earliest))
                earliest = w->due;
        return earliest != 0;
    };
    s.waitersChanged.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), found);
    return earliest;
}

}  // extern "C"
