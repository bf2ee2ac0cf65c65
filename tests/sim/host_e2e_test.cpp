// The simulated kernel side reached as the driver reaches it: device files
// and control requests of the host's Win32 subset, blocks in host memory.
#include <cstring>

#include "host/os/host.h"
#include "host/os/win32.h"
#include "tests/sim/sim_test.h"

namespace {

const WCHAR kNode0[] = VT_TEXT("\\\\.\\veltrane-0");

HANDLE OpenNode() {
    return CreateFileW(kNode0, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

TEST(SimThroughHost, DescriptorStartStopAndUnplugCompleteAsTheDriverExpects) {
    vt::Simulator sim("--nodes 0 --rate fast");
    HANDLE h = OpenNode();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    BYTE desc[18] = {};
    DWORD cb = 0;
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, desc, sizeof desc, &cb,
                                nullptr));
    EXPECT_EQ(cb, 18u);
    EXPECT_EQ(desc[8] | desc[9] << 8, kExpectedVendorId);
    EXPECT_EQ(desc[10] | desc[11] << 8, kExpectedProductId);

    // Output A, block in memory the kernel side can be handed.
    auto* out = static_cast<MidiFifo*>(VtHostMapPrivate(kFifoBlockBytes));
    auto* in = static_cast<MidiFifo*>(VtHostMapPrivate(kFifoBlockBytes));
    ASSERT_TRUE(out && in);
    for (MidiFifo* f : {out, in}) {
        f->dwMagic = MIDI_FIFO_MAGIC;
        f->cbHeader = kFifoHeaderBytes;
        f->cRef = 1;
        f->cdwSize = kFifoWords;
        f->iWrite = f->iRead = kFifoFirstSlot;
    }
    HANDLE events[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr),
                        CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    OVERLAPPED ovl[2] = {};
    MidiFifo* blocks[2] = {out, in};
    const uint32_t pipes[2] = {kPipeOutA, kPipeIn};
    DWORD returned[2] = {};
    for (int i = 0; i < 2; ++i) {
        ovl[i].hEvent = events[i];
        StreamStartRequest sr{pipes[i], kFifoWords, 0};
        EXPECT_FALSE(DeviceIoControl(h, IOCTL_START_STREAM, &sr, sizeof sr, blocks[i],
                                     kFifoBlockBytes, &returned[i], &ovl[i]));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_NE(blocks[i]->dwMagic, MIDI_FIFO_MAGIC);
        EXPECT_NE(blocks[i]->dwMagic, 0u);
    }

    // Looped back: what the driver would write to output A comes in on A.
    ASSERT_TRUE(simtest::Produce(out, 0x03403C90));
    ASSERT_TRUE(sim.Await(0, "delivered_in", 1));
    EXPECT_EQ(simtest::Load(FifoSlot(in, kFifoFirstSlot)), 0x03403C90u);

    // Stop output A from another handle, with the cookie from the block.
    HANDLE other = OpenNode();
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    DWORD cookie = out->dwMagic;
    EXPECT_TRUE(DeviceIoControl(other, IOCTL_STOP_STREAM, &cookie, sizeof cookie, nullptr, 0, &cb,
                                nullptr));
    EXPECT_EQ(WaitForSingleObject(events[0], 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ovl[0].Internal, STATUS_SUCCESS);

    // Unplugged: the input start completes with not connected.
    sim.Ok("unplug 0");
    EXPECT_EQ(WaitForSingleObject(events[1], 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ovl[1].Internal, devwire::kStatusDeviceNotConnected);
    EXPECT_EQ(OpenNode(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    auto st = sim.Command("stats 0");
    EXPECT_EQ(st, "error node 0 is not plugged");
    CloseHandle(other);
    CloseHandle(h);
    for (HANDLE e : events)
        CloseHandle(e);
}

}  // namespace
