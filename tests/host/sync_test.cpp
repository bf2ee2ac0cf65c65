// Handles, events and locks: the table's values and reference counts, auto-
// and manual-reset events with timeouts, the named mutex within a thread,
// across threads and across processes (including a dead owner), and critical
// sections.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/os/host.h"
#include "host/os/win32.h"
#include "tests/host/peer.h"

namespace {

TEST(Handles, AreSmallDistinctMultiplesOfFourAndReused) {
    DWORD before = VtHostHandleCount();
    std::set<HANDLE> seen;
    HANDLE ah[8];
    for (HANDLE& h : ah) {
        h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(h, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(h) % 4, 0u);
        EXPECT_LT(reinterpret_cast<uintptr_t>(h), 0x10000u);
        EXPECT_TRUE(seen.insert(h).second);
    }
    EXPECT_EQ(VtHostHandleCount(), before + 8);
    HANDLE hFreed = ah[3];
    ASSERT_TRUE(CloseHandle(hFreed));
    EXPECT_EQ(VtHostHandleCount(), before + 7);
    HANDLE hAgain = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(hAgain, hFreed);  // the freed slot comes back first
    ah[3] = hAgain;
    for (HANDLE h : ah)
        EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(VtHostHandleCount(), before);
}

TEST(Handles, BadHandlesFailWithInvalidHandle) {
    HANDLE hClosed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE hClosedMutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(hClosed));
    ASSERT_TRUE(CloseHandle(hClosedMutex));
    const HANDLE bad[] = {
        nullptr,      INVALID_HANDLE_VALUE,        hClosed,
        hClosedMutex, reinterpret_cast<HANDLE>(6), reinterpret_cast<HANDLE>(0x40000)};
    for (HANDLE h : bad) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED) << h;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(SetEvent(h));
        EXPECT_FALSE(ReleaseMutex(h));
    }
    // An object of the wrong kind is no event and no mutex.
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, nullptr);
    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_FALSE(SetEvent(hMutex));
    EXPECT_FALSE(ReleaseMutex(hEvent));
    CloseHandle(hMutex);
    CloseHandle(hEvent);
    // A closed mutex's handle value that comes back for an event is that event.
    HANDLE hGone = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(hGone));
    HANDLE hReused = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(hReused, hGone);
    EXPECT_EQ(WaitForSingleObject(hReused, 0), WAIT_TIMEOUT);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(hReused));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(hReused);
}

// Re-entrant for its owner, closed to every other thread until the owner
// has left it as often as it entered.
TEST(CriticalSections, ReentrantForTheOwnerOnly) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    auto otherThreadEnters = [&cs] {
        BOOL fEntered = FALSE;
        std::thread([&] {
            fEntered = TryEnterCriticalSection(&cs);
            if (fEntered) LeaveCriticalSection(&cs);
        }).join();
        return fEntered;
    };
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    EXPECT_EQ(cs.RecursionCount, 2);
    EXPECT_EQ(cs.OwningThread, reinterpret_cast<HANDLE>(ULONG_PTR{GetCurrentThreadId()}));
    EXPECT_FALSE(otherThreadEnters());
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(otherThreadEnters());
    std::thread([&cs] { LeaveCriticalSection(&cs); }).join();
    EXPECT_FALSE(otherThreadEnters()) << "a leave by another thread changes nothing";
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(otherThreadEnters());
    DeleteCriticalSection(&cs);
}

TEST(Events, AutoResetLetsOneWaitThroughPerSet) {
    HANDLE h = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(h, 5), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(h));
    EXPECT_TRUE(SetEvent(h));  // setting twice still lets one through
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    CloseHandle(h);
}

TEST(Events, ManualResetStaysSetUntilReset) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    SetEvent(h);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(h));
    EXPECT_EQ(WaitForSingleObject(h, 1), WAIT_TIMEOUT);
    CloseHandle(h);
}

TEST(Events, SetFromAnotherThreadWakesAnInfiniteWait) {
    HANDLE hGo = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE hBack = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread t([&] {
        EXPECT_EQ(WaitForSingleObject(hGo, INFINITE), WAIT_OBJECT_0);
        SetEvent(hBack);
    });
    SetEvent(hGo);
    EXPECT_EQ(WaitForSingleObject(hBack, INFINITE), WAIT_OBJECT_0);
    t.join();
    CloseHandle(hGo);
    CloseHandle(hBack);
}

TEST(Events, NamedEventsAreRefused) {
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, VT_TEXT("x")), nullptr);
}

// Runs f on another thread and answers its result.
template <typename F>
auto OnOtherThread(F f) {
    decltype(f()) result{};
    std::thread t([&] { result = f(); });
    t.join();
    return result;
}

// Another thread tries the mutex without waiting and gives it back if it got
// it; answers what its wait answered.
DWORD TakeAndGiveBackOnOtherThread(HANDLE h) {
    return OnOtherThread([&] {
        DWORD r = WaitForSingleObject(h, 0);
        if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ReleaseMutex(h);
        return r;
    });
}

TEST(Mutex, IsReentrantForItsOwnerAndExclusiveForOthers) {
    HANDLE h = CreateMutexW(nullptr, FALSE, VT_TEXT("VELTRANECs"));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(h, 0); }), WAIT_TIMEOUT);
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(h, 20); }), WAIT_TIMEOUT);
    // Another thread cannot give it back for us.
    EXPECT_EQ(OnOtherThread([&] {
                  SetLastError(0);
                  return ReleaseMutex(h) ? 0u : GetLastError();
              }),
              static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(h, 0); }), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(h));
    // Given back as many times as taken: one more release is not ours.
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_EQ(TakeAndGiveBackOnOtherThread(h), WAIT_OBJECT_0);
    CloseHandle(h);
}

TEST(Mutex, HandlesOfOneNameAreOneMutex) {
    HANDLE h1 = CreateMutexW(nullptr, FALSE, VT_TEXT("shared/name\\1"));
    ASSERT_NE(h1, nullptr);
    HANDLE h2 = CreateMutexW(nullptr, FALSE, VT_TEXT("shared/name\\1"));
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    HANDLE hOther = CreateMutexW(nullptr, FALSE, VT_TEXT("shared_name_1"));
    EXPECT_NE(h1, h2);
    ASSERT_EQ(WaitForSingleObject(h1, 0), WAIT_OBJECT_0);
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(h2, 0); }), WAIT_TIMEOUT);
    // A different name (even one that looks alike as a file name) is free.
    EXPECT_EQ(TakeAndGiveBackOnOtherThread(hOther), WAIT_OBJECT_0);
    // The owner may give it back through either handle.
    EXPECT_TRUE(ReleaseMutex(h2));
    CloseHandle(h1);
    EXPECT_EQ(TakeAndGiveBackOnOtherThread(h2), WAIT_OBJECT_0);
    CloseHandle(h2);
    CloseHandle(hOther);
}

// A thread that keeps taking and giving back a mutex while another closes its
// handle: each call either works on the mutex or fails as on a bad handle,
// and every call that starts once CloseHandle has returned fails.
TEST(Mutex, CloseRacingWaitsLeavesNoUseAfterClose) {
    HANDLE h = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(h, nullptr);
    std::atomic<bool> closed{false};
    std::atomic<int> rounds{0};
    std::atomic<int> faults{0};
    std::thread user([&] {
        for (;;) {
            bool fClosedBefore = closed.load();
            SetLastError(0);
            DWORD r = WaitForSingleObject(h, 0);
            if (r == WAIT_OBJECT_0) {
                if (fClosedBefore) ++faults;
                if (!ReleaseMutex(h) && GetLastError() != ERROR_INVALID_HANDLE) ++faults;
            } else if (r != WAIT_FAILED || GetLastError() != ERROR_INVALID_HANDLE) {
                ++faults;
            }
            ++rounds;
            if (fClosedBefore) return;
        }
    });
    while (rounds.load() < 1000)
        std::this_thread::yield();
    EXPECT_TRUE(CloseHandle(h));
    closed = true;
    user.join();
    EXPECT_EQ(faults.load(), 0);
}

TEST(Mutex, InitialOwnerIsTheCreator) {
    HANDLE h = CreateMutexW(nullptr, TRUE, VT_TEXT("initial"));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(h, 0); }), WAIT_TIMEOUT);
    // Opening it again with bInitialOwner does not take it a second time.
    HANDLE h2 = CreateMutexW(nullptr, TRUE, VT_TEXT("initial"));
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(TakeAndGiveBackOnOtherThread(h), WAIT_OBJECT_0);
    CloseHandle(h);
    CloseHandle(h2);
}

TEST(Mutex, OwnerThreadThatExitsAbandonsIt) {
    HANDLE h = CreateMutexW(nullptr, FALSE, VT_TEXT("abandoned-by-thread"));
    std::thread([&] { EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(h, 1000), WAIT_ABANDONED);
    // Ownership passed to us: it is a working mutex again.
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(h, 0); }), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(h));
    CloseHandle(h);
}

TEST(Mutex, IsExclusiveAcrossProcesses) {
    HANDLE h = CreateMutexW(nullptr, FALSE, VT_TEXT("VELTRANECs"));
    vt::ChildProcess peer = vthosttest::StartPeer();
    ASSERT_EQ(peer.Ask("mutex VELTRANECs"), "ok");
    ASSERT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(peer.Ask("wait 0"), std::to_string(WAIT_TIMEOUT));
    EXPECT_EQ(peer.Ask("release"), "error " + std::to_string(ERROR_NOT_OWNER));
    ReleaseMutex(h);
    EXPECT_EQ(peer.Ask("wait 0"), std::to_string(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    // A waiter in this process gets it as soon as the peer gives it back.
    std::atomic<DWORD> got{0xDEAD};
    std::thread waiter([&] {
        got = WaitForSingleObject(h, INFINITE);
        ReleaseMutex(h);
    });
    EXPECT_EQ(peer.Ask("release"), "ok");
    waiter.join();
    EXPECT_EQ(got.load(), WAIT_OBJECT_0);
    CloseHandle(h);
}

TEST(Mutex, OwnerProcessKilledHandsItOverAbandoned) {
    HANDLE h = CreateMutexW(nullptr, FALSE, VT_TEXT("VELTRANECs"));
    vt::ChildProcess peer = vthosttest::StartPeer();
    ASSERT_EQ(peer.Ask("mutex VELTRANECs"), "ok");
    ASSERT_EQ(peer.Ask("wait 0"), std::to_string(WAIT_OBJECT_0));
    ASSERT_EQ(peer.Ask("wait 0"), std::to_string(WAIT_OBJECT_0));  // held twice
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    peer.Kill();
    EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(h));
    EXPECT_FALSE(ReleaseMutex(h));  // taken over once, not with the dead count
    // A new process finds a working mutex.
    vt::ChildProcess next = vthosttest::StartPeer();
    ASSERT_EQ(next.Ask("mutex VELTRANECs"), "ok");
    EXPECT_EQ(next.Ask("wait 0"), std::to_string(WAIT_OBJECT_0));
    EXPECT_EQ(next.Ask("release"), "ok");
    CloseHandle(h);
}

// ---------------------------------------------------------------- critical sections

TEST(CriticalSections, KeepContendingThreadsApart) {
    for (DWORD spin : {DWORD(0), DWORD(4000)}) {
        SCOPED_TRACE(spin);
        CRITICAL_SECTION cs;
        ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, spin));
        EXPECT_EQ(SetCriticalSectionSpinCount(&cs, spin), spin);
        long counter = 0;  // guarded by the section alone
        std::atomic<int> inside{0};
        std::atomic<bool> overlapped{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 20000; ++i) {
                    EnterCriticalSection(&cs);
                    if (inside.fetch_add(1) != 0) overlapped = true;
                    long v = counter;
                    if (i % 64 == 0) std::this_thread::yield();  // others pile up meanwhile
                    counter = v + 1;
                    inside.fetch_sub(1);
                    LeaveCriticalSection(&cs);
                }
            });
        for (std::thread& t : threads)
            t.join();
        EXPECT_FALSE(overlapped.load());
        EXPECT_EQ(counter, 80000);
        EXPECT_TRUE(TryEnterCriticalSection(&cs));
        LeaveCriticalSection(&cs);
        DeleteCriticalSection(&cs);
    }
}

}  // namespace

namespace {

// A handle of another process: its creation time, and signalled once that
// very process has ended, whatever later takes its id.
TEST(Processes, AHandleFollowsItsProcessNotItsId) {
    const DWORD kAccess = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
    HANDLE hSelf = OpenProcess(kAccess, FALSE, GetCurrentProcessId());
    ASSERT_NE(hSelf, nullptr);
    vt::ChildProcess peer = vthosttest::StartPeer();
    DWORD dwPid = static_cast<DWORD>(peer.pid());
    HANDLE hPeer = OpenProcess(kAccess, FALSE, dwPid);
    ASSERT_NE(hPeer, nullptr);
    FILETIME ftSelf{}, ftPeer{}, ftAgain{}, ftZero{};
    ASSERT_TRUE(GetProcessTimes(hSelf, &ftSelf, &ftZero, &ftZero, &ftZero));
    ASSERT_TRUE(GetProcessTimes(hPeer, &ftPeer, &ftZero, &ftZero, &ftZero));
    auto ticks = [](FILETIME ft) { return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime; };
    EXPECT_GE(ticks(ftPeer), ticks(ftSelf));          // started later
    EXPECT_GT(ticks(ftSelf), 116444736000000000ull);  // after 1970
    HANDLE hAgain = OpenProcess(kAccess, FALSE, dwPid);
    ASSERT_TRUE(GetProcessTimes(hAgain, &ftAgain, &ftZero, &ftZero, &ftZero));
    EXPECT_EQ(ticks(ftAgain), ticks(ftPeer));
    EXPECT_EQ(WaitForSingleObject(hPeer, 0), WAIT_TIMEOUT);

    peer.Kill();
    EXPECT_EQ(WaitForSingleObject(hPeer, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hAgain, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(OpenProcess(kAccess, FALSE, dwPid), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(WaitForSingleObject(hSelf, 0), WAIT_TIMEOUT);
    for (HANDLE h : {hSelf, hPeer, hAgain})
        CloseHandle(h);
}

// Tests run with the host set to refuse it: a device request made while the
// thread holds a mutex that other processes wait for ends the process.
TEST(MutexDeathTest, ADeviceRequestWhileHoldingAMutexAborts) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    HANDLE h = CreateMutexW(nullptr, FALSE, VT_TEXT("held-over-io"));
    ASSERT_NE(h, nullptr);
    EXPECT_DEATH(
        {
            WaitForSingleObject(h, INFINITE);
            CreateFileW(VT_TEXT("\\\\.\\veltrane-0"), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        },
        "CreateFileW while the thread holds a mutex");
    // Given back first, the same request is fine (nothing serves it here).
    EXPECT_EQ(CreateFileW(VT_TEXT("\\\\.\\veltrane-0"), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

}  // namespace
