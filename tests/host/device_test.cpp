// Device files and control requests against a tiny kernel side: opening,
// immediate answers with buffered output, failure statuses, pending requests
// completed later, out-direct requests on the caller's own memory, and
// cancellation when either end closes the connection.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "host/os/host.h"
#include "tests/host/fake_device.h"
#include "tests/support/support.h"

namespace {

using vthosttest::FakeDevice;

constexpr DWORD kBuffered = 0x222004;  // method 0
constexpr DWORD kDirect = 0x222016;    // method 2: out-direct

HANDLE Open(const WCHAR* path) {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// A request the handler keeps for the test to finish later.
struct Kept {
    std::mutex m;
    std::vector<FakeDevice::Request> requests;
    void Add(const FakeDevice::Request& r) {
        std::lock_guard<std::mutex> lock(m);
        requests.push_back(r);
    }
    FakeDevice::Request At(size_t i) {
        std::lock_guard<std::mutex> lock(m);
        return requests.at(i);
    }
};

TEST(CreateFile, OpensOnlyServedDevicePaths) {
    FakeDevice dev("veltrane-0", [](FakeDevice&, const FakeDevice::Request&) {});
    HANDLE h = Open(VT_TEXT("\\\\.\\veltrane-0"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h) % 4, 0u);
    HANDLE h2 = Open(VT_TEXT("\\\\.\\veltrane-0"));  // several at once
    ASSERT_NE(h2, INVALID_HANDLE_VALUE);
    EXPECT_NE(h, h2);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(CloseHandle(h2));

    const WCHAR* notFound[] = {
        VT_TEXT("\\\\.\\veltrane-1"),  // nobody serves it
        VT_TEXT("\\\\.\\"),            // no name
        VT_TEXT("\\\\.\\..\\dev\\veltrane-0"),
        VT_TEXT("\\\\.\\../dev/veltrane-0"),
        VT_TEXT("veltrane-0"),
        VT_TEXT("C:\\veltrane-0"),
        VT_TEXT("\\\\?\\veltrane-0"),
        nullptr,
    };
    for (const WCHAR* path : notFound) {
        SetLastError(0);
        EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE) << vt::Narrow(path);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << vt::Narrow(path);
    }
}

TEST(CreateFile, SocketFileThatNobodyServesIsNotFound) {
    std::string path;
    {
        FakeDevice dev("veltrane-2", [](FakeDevice&, const FakeDevice::Request&) {});
    }
    SetLastError(0);
    EXPECT_EQ(Open(VT_TEXT("\\\\.\\veltrane-2")), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(CreateFile, ManyOpenAndCloseCyclesLeakNoDescriptor) {
    FakeDevice dev("veltrane-3", [](FakeDevice& d, const FakeDevice::Request& r) {
        d.ReplyNow(r, devwire::kStatusSuccess);
    });
    // The first connection starts the I/O thread and its descriptors.
    HANDLE h = Open(VT_TEXT("\\\\.\\veltrane-3"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    ASSERT_EQ(dev.WaitDisconnects(1), 1);
    int before = vt::OpenDescriptorCount();
    DWORD handles = VtHostHandleCount();
    for (int i = 0; i < 300; ++i) {
        h = Open(VT_TEXT("\\\\.\\veltrane-3"));
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        if (i % 3 == 0) {
            ASSERT_TRUE(DeviceIoControl(h, kBuffered, nullptr, 0, nullptr, 0, nullptr, nullptr));
        }
        ASSERT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(VtHostHandleCount(), handles);
    // The serving side (in this process too) closes its ends as it sees them go.
    EXPECT_EQ(dev.WaitDisconnects(301), 301);
    EXPECT_EQ(vt::OpenDescriptorCount(), before);
}

TEST(DeviceIoControl, ImmediateSuccessCopiesBufferedOutput) {
    FakeDevice dev("veltrane-0", [](FakeDevice& d, const FakeDevice::Request& r) {
        EXPECT_EQ(r.hdr.dwType, devwire::kRequest);
        EXPECT_EQ(r.hdr.dwCode, kBuffered);
        EXPECT_EQ(r.hdr.cbOut, 32u);
        EXPECT_EQ(r.hdr.fDirect, 0u);
        EXPECT_EQ(r.fd, -1);
        EXPECT_EQ(vt::HexString(r.in), "01 02 03");
        std::vector<BYTE> out(18);
        for (BYTE i = 0; i < 18; ++i)
            out[i] = static_cast<BYTE>(0x10 + i);
        d.ReplyNow(r, devwire::kStatusSuccess, out);
    });
    HANDLE h = Open(VT_TEXT("\\\\.\\veltrane-0"));
    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    BYTE in[3] = {1, 2, 3};
    BYTE out[32];
    memset(out, 0xEE, sizeof out);
    DWORD cb = 0;
    OVERLAPPED ovl{};
    ovl.hEvent = hEvent;
    ovl.Offset = 0x55;
    ASSERT_TRUE(DeviceIoControl(h, kBuffered, in, 3, out, sizeof out, &cb, &ovl));
    EXPECT_EQ(cb, 18u);
    EXPECT_EQ(out[0], 0x10);
    EXPECT_EQ(out[17], 0x21);
    EXPECT_EQ(out[18], 0xEE);  // beyond the answer: untouched
    EXPECT_EQ(ovl.Internal, STATUS_SUCCESS);
    EXPECT_EQ(ovl.InternalHigh, 18u);
    EXPECT_EQ(ovl.Offset, 0x55u);
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0);
    // The same without an OVERLAPPED.
    cb = 0;
    ASSERT_TRUE(DeviceIoControl(h, kBuffered, in, 3, out, sizeof out, &cb, nullptr));
    EXPECT_EQ(cb, 18u);
    CloseHandle(hEvent);
    CloseHandle(h);
}

TEST(DeviceIoControl, NeverCopiesMoreThanTheCallerBufferHolds) {
    FakeDevice dev("veltrane-0", [](FakeDevice& d, const FakeDevice::Request& r) {
        // Claims and sends far more than was asked for.
        d.ReplyNow(r, devwire::kStatusSuccess, std::vector<BYTE>(64, 0x77), false, 4000);
    });
    HANDLE h = Open(VT_TEXT("\\\\.\\veltrane-0"));
    BYTE out[16];
    memset(out, 0xEE, sizeof out);
    DWORD cb = 0;
    ASSERT_TRUE(DeviceIoControl(h, kBuffered, nullptr, 0, out, 8, &cb, nullptr));
    EXPECT_EQ(cb, 8u);
    EXPECT_EQ(out[7], 0x77);
    EXPECT_EQ(out[8], 0xEE);
    CloseHandle(h);
}

TEST(DeviceIoControl, FailureStatusesMapToWin32Errors) {
    std::atomic<uint32_t> status{0};
    FakeDevice dev("veltrane-0", [&](FakeDevice& d, const FakeDevice::Request& r) {
        d.ReplyNow(r, status.load(), {9, 9});
    });
    HANDLE h = Open(VT_TEXT("\\\\.\\veltrane-0"));
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const struct {
        uint32_t status;
        DWORD error;
    } cases[] = {
        {devwire::kStatusCancelled, ERROR_OPERATION_ABORTED},
        {devwire::kStatusInvalidDeviceRequest, ERROR_INVALID_FUNCTION},
        {devwire::kStatusInvalidParameter, ERROR_INVALID_PARAMETER},
        {devwire::kStatusBufferTooSmall, ERROR_INSUFFICIENT_BUFFER},
        {devwire::kStatusDeviceNotConnected, ERROR_DEVICE_NOT_CONNECTED},
        {devwire::kStatusDeviceBusy, ERROR_BUSY},
        {devwire::kStatusUnsuccessful, ERROR_GEN_FAILURE},
        {0xC0001234, ERROR_GEN_FAILURE},
    };
    for (const auto& c : cases) {
        status = c.status;
        DWORD cb = 0xABCD;
        OVERLAPPED ovl{};
        ovl.hEvent = hEvent;
        BYTE out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(h, kBuffered, nullptr, 0, out, 4, &cb, &ovl));
        EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
        EXPECT_EQ(cb, 0xABCDu);  // untouched on failure
        EXPECT_EQ(ovl.Internal, c.status);
        EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_TIMEOUT);
    }
    CloseHandle(hEvent);
    CloseHandle(h);
}

TEST(DeviceIoControl, RefusesBadBuffersWithoutAsking) {
    FakeDevice dev("veltrane-0", [](FakeDevice& d, const FakeDevice::Request& r) {
        d.ReplyNow(r, devwire::kStatusSuccess);
    });
    HANDLE h = Open(VT_TEXT("\\\\.\\veltrane-0"));
    BYTE stackBlock[4096];
    std::vector<BYTE> huge(devwire::kMaxPayload + 1);
    const struct {
        DWORD code;
        void* in;
        DWORD cbIn;
        void* out;
        DWORD cbOut;
        DWORD error;
    } cases[] = {
        {kDirect, nullptr, 0, stackBlock, sizeof stackBlock, ERROR_INVALID_USER_BUFFER},
        {kBuffered, huge.data(), static_cast<DWORD>(huge.size()), nullptr, 0,
         ERROR_INVALID_PARAMETER},
        {kBuffered, nullptr, 4, nullptr, 0, ERROR_INVALID_PARAMETER},
        {kBuffered, nullptr, 0, nullptr, 4, ERROR_INVALID_USER_BUFFER},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(h, c.code, c.in, c.cbIn, c.out, c.cbOut, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), c.error);
    }
    SetLastError(0);
    EXPECT_FALSE(
        DeviceIoControl(INVALID_HANDLE_VALUE, kBuffered, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // A request that is sent still works, and was the only one.
    EXPECT_TRUE(DeviceIoControl(h, kBuffered, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(dev.WaitRequests(1), 1);
    CloseHandle(h);
}

TEST(DeviceIoControl, PendingRequestCompletesLaterThroughItsEvent) {
    Kept kept;
    FakeDevice dev("veltrane-0", [&](FakeDevice& d, const FakeDevice::Request& r) {
        kept.Add(r);
        d.ReplyNow(r, devwire::kStatusSuccess, {}, true);
    });
    HANDLE h = Open(VT_TEXT("\\\\.\\veltrane-0"));
    HANDLE hEvent = CreateEventW(nullptr, FALSE, TRUE, nullptr);  // set: the issue resets it
    OVERLAPPED ovl{};
    ovl.hEvent = hEvent;
    BYTE out[8];
    memset(out, 0xEE, sizeof out);
    DWORD cb = 0xABCD;
    SetLastError(0);
    ASSERT_FALSE(DeviceIoControl(h, kBuffered, nullptr, 0, out, sizeof out, &cb, &ovl));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(ovl.Internal, STATUS_PENDING);
    EXPECT_EQ(cb, 0xABCDu);
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_TIMEOUT);
    dev.ReplyLater(kept.At(0), devwire::kStatusSuccess, {1, 2, 3});
    ASSERT_EQ(WaitForSingleObject(hEvent, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ovl.Internal, STATUS_SUCCESS);
    EXPECT_EQ(ovl.InternalHigh, 3u);
    EXPECT_EQ(vt::HexString(out, 4), "01 02 03 EE");
    EXPECT_EQ(cb, 0xABCDu);  // the caller returned long ago
    CloseHandle(hEvent);
    CloseHandle(h);
}

TEST(DeviceIoControl, RequestKeepsItsEventAfterTheHandleIsClosed) {
    Kept kept;
    FakeDevice dev("veltrane-0", [&](FakeDevice& d, const FakeDevice::Request& r) {
        kept.Add(r);
        d.ReplyNow(r, devwire::kStatusSuccess, {}, true);
    });
    HANDLE h = Open(VT_TEXT("\\\\.\\veltrane-0"));
    DWORD handles = VtHostHandleCount();
    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ovl{};
    ovl.hEvent = hEvent;
    ASSERT_FALSE(DeviceIoControl(h, kBuffered, nullptr, 0, nullptr, 0, nullptr, &ovl));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    // Closed early, and its slot taken by another event.
    ASSERT_TRUE(CloseHandle(hEvent));
    EXPECT_EQ(VtHostHandleCount(), handles);
    HANDLE hOther = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(hOther, hEvent);
    dev.ReplyLater(kept.At(0), devwire::kStatusSuccess, {}, 0);
    // Completion signals the original event object, not whatever now sits
    // behind the old handle value; only the record shows that it came.
    EXPECT_TRUE(vt::Eventually([&] { return HasOverlappedIoCompleted(&ovl); }));
    EXPECT_EQ(ovl.Internal, STATUS_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(hOther, 50), WAIT_TIMEOUT);
    CloseHandle(hOther);
    CloseHandle(h);
}

TEST(DeviceIoControl, PendingWithoutOverlappedWaitsForCompletion) {
    Kept kept;
    FakeDevice dev("veltrane-0", [&](FakeDevice& d, const FakeDevice::Request& r) {
        kept.Add(r);
        d.ReplyNow(r, devwire::kStatusSuccess, {}, true);
    });
    HANDLE h = Open(VT_TEXT("\\\\.\\veltrane-0"));
    std::atomic<bool> fReturned{false};
    BOOL result = FALSE;
    DWORD cb = 0;
    BYTE out[4] = {};
    std::thread caller([&] {
        result = DeviceIoControl(h, kBuffered, nullptr, 0, out, sizeof out, &cb, nullptr);
        fReturned = true;
    });
    ASSERT_EQ(dev.WaitRequests(1), 1);
    EXPECT_FALSE(fReturned.load());  // cannot have finished: nothing completed it yet
    dev.ReplyLater(kept.At(0), devwire::kStatusSuccess, {0xAB, 0xCD});
    caller.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(cb, 2u);
    EXPECT_EQ(out[1], 0xCD);
    CloseHandle(h);
}

TEST(DeviceIoControl, OutDirectSharesTheCallersBlockWhilePending) {
    Kept kept;
    std::atomic<volatile uint32_t*> pServerView{nullptr};
    FakeDevice dev("veltrane-0", [&](FakeDevice& d, const FakeDevice::Request& r) {
        kept.Add(r);
        EXPECT_EQ(r.hdr.fDirect, 1u);
        EXPECT_EQ(r.hdr.cbOut, 4096u);
        EXPECT_EQ(r.hdr.qwOffset, 4096u);
        ASSERT_GE(r.fd, 0);
        void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, r.fd,
                       static_cast<off_t>(r.hdr.qwOffset));
        ASSERT_NE(p, MAP_FAILED);
        auto* words = static_cast<volatile uint32_t*>(p);
        words[0] = 0xC00C1E01;  // the stream cookie, written before answering
        pServerView = words;
        d.ReplyNow(r, devwire::kStatusSuccess, {}, true);
    });
    auto* region = static_cast<uint32_t*>(VtHostMapPrivate(2 * 4096));
    uint32_t* block = region + 1024;  // the second block
    block[0] = 0x51544B50;
    HANDLE h = Open(VT_TEXT("\\\\.\\veltrane-0"));
    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ovl{};
    ovl.hEvent = hEvent;
    uint32_t start[3] = {2, 1024, 0};
    DWORD cb = 0;
    ASSERT_FALSE(DeviceIoControl(h, kDirect, start, sizeof start, block, 4096, &cb, &ovl));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(vt::HexString(kept.At(0).in), "02 00 00 00 00 04 00 00 00 00 00 00");
    EXPECT_EQ(block[0], 0xC00C1E01u);
    EXPECT_EQ(region[0], 0u);  // the first block is not part of it
    // Both sides keep working on the same memory while it is pending.
    block[6] = 0x03403C90;
    EXPECT_EQ(pServerView.load()[6], 0x03403C90u);
    pServerView.load()[7] = 0x13000000;
    EXPECT_EQ(block[7], 0x13000000u);
    dev.ReplyLater(kept.At(0), devwire::kStatusSuccess, {}, 0);
    ASSERT_EQ(WaitForSingleObject(hEvent, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ovl.Internal, STATUS_SUCCESS);
    munmap(const_cast<uint32_t*>(pServerView.load()), 4096);
    CloseHandle(hEvent);
    CloseHandle(h);
}

TEST(DeviceIoControl, CloseHandleCancelsPendingRequests) {
    FakeDevice dev("veltrane-0", [&](FakeDevice& d, const FakeDevice::Request& r) {
        d.ReplyNow(r, devwire::kStatusSuccess, {}, true);
    });
    HANDLE h = Open(VT_TEXT("\\\\.\\veltrane-0"));
    HANDLE hEvents[2];
    OVERLAPPED ovl[2]{};
    for (int i = 0; i < 2; ++i) {
        hEvents[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ovl[i].hEvent = hEvents[i];
        ASSERT_FALSE(DeviceIoControl(h, kBuffered, nullptr, 0, nullptr, 0, nullptr, &ovl[i]));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(CloseHandle(h));
    for (int i = 0; i < 2; ++i) {
        // Completed before CloseHandle returned.
        EXPECT_EQ(WaitForSingleObject(hEvents[i], 0), WAIT_OBJECT_0);
        EXPECT_EQ(ovl[i].Internal, STATUS_CANCELLED);
        EXPECT_EQ(ovl[i].InternalHigh, 0u);
        CloseHandle(hEvents[i]);
    }
    // The kernel side saw the connection end.
    EXPECT_EQ(dev.WaitDisconnects(1), 1);
}

TEST(DeviceIoControl, KernelSideClosingCancelsPendingAndLaterRequests) {
    Kept kept;
    FakeDevice dev("veltrane-0", [&](FakeDevice& d, const FakeDevice::Request& r) {
        kept.Add(r);
        d.ReplyNow(r, devwire::kStatusSuccess, {}, true);
    });
    HANDLE h = Open(VT_TEXT("\\\\.\\veltrane-0"));
    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ovl{};
    ovl.hEvent = hEvent;
    ASSERT_FALSE(DeviceIoControl(h, kBuffered, nullptr, 0, nullptr, 0, nullptr, &ovl));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    dev.CloseConnection(kept.At(0).conn);
    ASSERT_EQ(WaitForSingleObject(hEvent, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ovl.Internal, STATUS_CANCELLED);
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, kBuffered, nullptr, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    // A request is counted once its handler has answered; the second one
    // never reached the device.
    EXPECT_EQ(dev.WaitRequests(1), 1);
    EXPECT_TRUE(CloseHandle(h));
    CloseHandle(hEvent);
}

}  // namespace
