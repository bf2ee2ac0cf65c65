// Small services: the object root, wsprintfW and the string calls, the heap
// with injected failures, the thread-local last error, interlocked results,
// DefDriverProc and DriverCallback.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "host/os/devwire.h"
#include "host/os/host.h"
#include "host/os/win32.h"
#include "tests/support/support.h"

namespace {

// The host and the kernel side (which reads devwire::Root) must agree on
// the root whatever $VELTRANE_ROOT looks like.
TEST(ObjectRoot, OneRuleForTheHostAndTheKernelSide) {
    const std::string mine = vt::TestRoot();
    const std::string fallback = "/tmp/veltrane-" + std::to_string(getuid());
    struct Case {
        const char* env;  // nullptr: unset
        std::string root;
    } cases[] = {
        {"/tmp/x", "/tmp/x"}, {"/tmp/x//", "/tmp/x"}, {"/", "/"},
        {"", fallback},       {nullptr, fallback},
    };
    for (const Case& c : cases) {
        if (c.env)
            setenv("VELTRANE_ROOT", c.env, 1);
        else
            unsetenv("VELTRANE_ROOT");
        EXPECT_EQ(devwire::Root(), c.root) << (c.env ? c.env : "(unset)");
    }
    setenv("VELTRANE_ROOT", (mine + "/").c_str(), 1);
    EXPECT_EQ(devwire::Root(), mine);
    EXPECT_EQ(std::string(VtHostRoot()), mine);
}

#define EXPECT_FORMAT(expected, ...)                                  \
    do {                                                              \
        WCHAR out[64];                                                \
        int n = wsprintfW(out, __VA_ARGS__);                          \
        EXPECT_EQ(vt::Narrow(out), expected);                         \
        EXPECT_EQ(n, static_cast<int>(std::string(expected).size())); \
    } while (0)

TEST(wsprintfW, FormatsTheConversionsTheDriverUses) {
    EXPECT_FORMAT("\\\\.\\veltrane-5", VT_TEXT("\\\\.\\veltrane-%d"), 5);
    EXPECT_FORMAT("Out A (2)", VT_TEXT("%s %c (%u)"), VT_TEXT("Out"), static_cast<WCHAR>('A'), 2u);
    EXPECT_FORMAT("-12 4294967295 ff 100%", VT_TEXT("%d %u %x %d%%"), -12, 0xFFFFFFFFu, 0xFFu, 100);
    EXPECT_FORMAT("[  42][42  ][0042][00ff]", VT_TEXT("[%4d][%-4d][%04d][%04x]"), 42, 42, 42, 255u);
    EXPECT_FORMAT("(null)|Ab", VT_TEXT("%s|%.2s"), static_cast<const WCHAR*>(nullptr),
                  VT_TEXT("Abc"));
    EXPECT_FORMAT("-2147483648", VT_TEXT("%d"), static_cast<int32_t>(0x80000000));
    EXPECT_FORMAT("narrow", VT_TEXT("%hs"), "narrow");
    EXPECT_FORMAT("%q", VT_TEXT("%q"));
}

TEST(wsprintfW, CutsTheOutputAt1024Characters) {
    std::u16string longText(2000, u'x');
    std::vector<WCHAR> out(1100, u'#');
    int n = wsprintfW(out.data(), VT_TEXT("ab%s"), longText.c_str());
    EXPECT_EQ(n, 1023);
    EXPECT_EQ(out[0], u'a');
    EXPECT_EQ(out[1022], u'x');
    EXPECT_EQ(out[1023], 0);
    EXPECT_EQ(out[1024], u'#');  // nothing written beyond the limit
}

TEST(Strings, CopyAndLength) {
    WCHAR buf[16];
    EXPECT_EQ(lstrcpyW(buf, VT_TEXT("VELTRANE")), buf);
    EXPECT_EQ(vt::Narrow(buf), "VELTRANE");
    EXPECT_EQ(lstrlenW(buf), 8);
    EXPECT_EQ(lstrlenW(VT_TEXT("")), 0);
    EXPECT_EQ(lstrlenW(nullptr), 0);
    const WCHAR* path = VT_TEXT("a\\b");
    EXPECT_EQ(wcschr(path, u'\\'), path + 1);
    EXPECT_EQ(wcschr(path, u'z'), nullptr);
}

TEST(LocalAlloc, ZeroFillsAndFailsOnRequest) {
    for (int i = 0; i < 4; ++i) {
        // Dirty a block so a reused one would show through.
        auto* dirty = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, 512));
        memset(dirty, 0xAB, 512);
        LocalFree(dirty);
        auto* p = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, 512));
        ASSERT_NE(p, nullptr);
        for (int j = 0; j < 512; ++j)
            ASSERT_EQ(p[j], 0) << j;
        EXPECT_EQ(LocalFree(p), nullptr);
    }
    VtHostFailAllocs(2);
    SetLastError(0);
    EXPECT_EQ(LocalAlloc(LPTR, 8), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(LocalAlloc(LPTR, 8), nullptr);
    void* p = LocalAlloc(LPTR, 8);
    EXPECT_NE(p, nullptr);
    LocalFree(p);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST(LastError, IsPerThread) {
    SetLastError(1234);
    DWORD other = 99;
    std::thread([&] {
        other = GetLastError();
        SetLastError(5);
    }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Interlocked, AnswerWhatWindowsAnswers) {
    volatile LONG v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&v, 10), 5);  // the old value
    EXPECT_EQ(InterlockedExchange(&v, 1), 15);
    EXPECT_EQ(InterlockedCompareExchange(&v, 7, 2), 1);  // no match: unchanged
    EXPECT_EQ(v, 1);
    EXPECT_EQ(InterlockedCompareExchange(&v, 7, 1), 1);
    EXPECT_EQ(v, 7);
    int a, b;
    PVOID volatile p = &a;
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, &b, nullptr), &a);
    EXPECT_EQ(p, &a);
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, &b, &a), &a);
    EXPECT_EQ(InterlockedExchangePointer(&p, nullptr), &b);
    EXPECT_EQ(p, nullptr);
}

TEST(DefDriverProc, AnswersAndCountsLikeWindows) {
    const struct {
        UINT msg;
        LRESULT answer;
    } cases[] = {{DRV_LOAD, 1},           {DRV_FREE, 1},     {DRV_ENABLE, 1},     {DRV_DISABLE, 1},
                 {DRV_OPEN, 1},           {DRV_CLOSE, 1},    {DRV_CONFIGURE, 0},  {DRV_INSTALL, 0},
                 {DRV_QUERYCONFIGURE, 0}, {DRV_USER + 1, 0}, {DRV_EXITSESSION, 0}};
    DWORD before = VtHostDefDriverProcCalls(nullptr);
    for (const auto& c : cases) {
        EXPECT_EQ(DefDriverProc(0, nullptr, c.msg, 0, 0), c.answer) << c.msg;
        UINT last = 0;
        VtHostDefDriverProcCalls(&last);
        EXPECT_EQ(last, c.msg);
    }
    EXPECT_EQ(VtHostDefDriverProcCalls(nullptr), before + sizeof cases / sizeof cases[0]);
}

struct Delivered {
    int calls = 0;
    HDRVR h;
    UINT msg;
    DWORD_PTR user, p1, p2;
};
Delivered gDelivered;

void CALLBACK Deliver(HDRVR h, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2) {
    gDelivered = {gDelivered.calls + 1, h, msg, user, p1, p2};
}

TEST(DriverCallback, CallsFunctionsAndSetsEventsOnly) {
    gDelivered = {};
    HDRVR h = reinterpret_cast<HDRVR>(0x1230);
    DWORD_PTR fn = reinterpret_cast<DWORD_PTR>(&Deliver);
    EXPECT_TRUE(DriverCallback(fn, DCB_FUNCTION, h, MIM_DATA, 11, 0x00403C90, 77));
    EXPECT_EQ(gDelivered.calls, 1);
    EXPECT_EQ(gDelivered.h, h);
    EXPECT_EQ(gDelivered.msg, static_cast<UINT>(MIM_DATA));
    EXPECT_EQ(gDelivered.user, 11u);
    EXPECT_EQ(gDelivered.p1, 0x00403C90u);
    EXPECT_EQ(gDelivered.p2, 77u);
    // Only the type bits count.
    EXPECT_TRUE(DriverCallback(fn, DCB_FUNCTION | DCB_NOSWITCH | 0x100, h, MOM_DONE, 0, 0, 0));
    EXPECT_EQ(gDelivered.calls, 2);
    for (DWORD type : {DCB_NULL, DCB_WINDOW, DCB_TASK, 4, 6, 7})
        EXPECT_FALSE(DriverCallback(fn, type, h, MOM_DONE, 0, 0, 0)) << type;
    EXPECT_FALSE(DriverCallback(0, DCB_FUNCTION, h, MOM_DONE, 0, 0, 0));
    EXPECT_EQ(gDelivered.calls, 2);

    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(
        DriverCallback(reinterpret_cast<DWORD_PTR>(hEvent), DCB_EVENT, h, MIM_DATA, 0, 0, 0));
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0);
    CloseHandle(hEvent);
    // A handle that is no longer an event is not reported delivered.
    EXPECT_FALSE(
        DriverCallback(reinterpret_cast<DWORD_PTR>(hEvent), DCB_EVENT, h, MIM_DATA, 0, 0, 0));
    EXPECT_EQ(gDelivered.calls, 2);
}

}  // namespace
