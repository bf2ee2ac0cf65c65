// The input parser through the drain: packets written into the input ring of
// node 0 as the kernel side writes them, then the timer callback, with input
// handles opened through midMessage and buffers of varied sizes queued, and
// callbacks that sometimes queue their buffer again, stop, reset or restart
// their handle. Every buffer queued comes back exactly once, holds no more
// than it has room for and nothing written past what it recorded; every
// notification is one an input handle may send.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <vector>

#include "devices/devices.h"
#include "driver/driver.h"
#include "fuzz/support/fuzz_support.h"
#include "host/os/host.h"

namespace {

constexpr char kGuard = '\x5A';
constexpr size_t kBuffersPerHandle = 6;

struct Buffer {
    MIDIHDR hdr = {};
    std::vector<char> data;
    bool queued = false;
};

// What a callback does with the notification it gets.
enum class Reaction { kNothing, kQueueAgain, kStop, kReset, kStart, kCount };

struct Handle {
    DWORD_PTR dwUser = 0;
    UINT uDeviceID = 0;
    Reaction reaction = Reaction::kNothing;
    Buffer buffers[kBuffersPerHandle];
    bool fOpen = false;
};

DWORD Message(Handle* h, UINT uMsg, DWORD_PTR dw1 = 0) {
    return midMessage(h->uDeviceID, uMsg, h->dwUser, dw1, sizeof(MIDIHDR));
}

Buffer* BufferOf(Handle* h, DWORD_PTR dw1) {
    for (Buffer& b : h->buffers)
        if (reinterpret_cast<DWORD_PTR>(&b.hdr) == dw1) return &b;
    return nullptr;
}

void CALLBACK OnNotice(HDRVR, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dw1, DWORD_PTR) {
    auto* h = reinterpret_cast<Handle*>(dwInstance);
    switch (uMsg) {
        case MIM_OPEN:
        case MIM_CLOSE:
            return;
        case MIM_DATA:
        case MIM_ERROR:
            fuzz::Check((dw1 & 0xFF) >= 0x80 || uMsg == MIM_ERROR, "a message without status");
            break;
        case MIM_LONGDATA:
        case MIM_LONGERROR: {
            Buffer* b = BufferOf(h, dw1);
            fuzz::Check(b != nullptr, "a buffer comes back to the wrong handle");
            fuzz::Check(b->queued, "a buffer comes back twice");
            b->queued = false;
            const MIDIHDR& hdr = b->hdr;
            fuzz::Check((hdr.dwFlags & MHDR_DONE) && !(hdr.dwFlags & MHDR_INQUEUE),
                        "a buffer comes back not done");
            fuzz::Check(hdr.dwBytesRecorded <= hdr.dwBufferLength, "a buffer overfilled");
            for (size_t i = hdr.dwBytesRecorded; i < b->data.size(); ++i)
                fuzz::Check(b->data[i] == kGuard, "written past what was recorded");
            if (h->reaction == Reaction::kQueueAgain) {
                std::fill(b->data.begin(), b->data.end(), kGuard);
                b->hdr.dwFlags = MHDR_PREPARED;
                if (Message(h, MIDM_ADDBUFFER, dw1) == MMSYSERR_NOERROR) b->queued = true;
            }
            break;
        }
        default:
            fuzz::Fail("a notification no input handle sends");
    }
    if (h->reaction == Reaction::kStop) Message(h, MIDM_STOP);
    if (h->reaction == Reaction::kReset) Message(h, MIDM_RESET);
    if (h->reaction == Reaction::kStart) Message(h, MIDM_START);
}

void Open(Handle* h, UINT uDeviceID) {
    MIDIOPENDESC desc = {};
    desc.hMidi = reinterpret_cast<HMIDI>(h);
    desc.dwCallback = reinterpret_cast<DWORD_PTR>(&OnNotice);
    desc.dwInstance = reinterpret_cast<DWORD_PTR>(h);
    h->uDeviceID = uDeviceID;
    DWORD r = midMessage(uDeviceID, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&h->dwUser),
                         reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_FUNCTION);
    fuzz::Check(r == MMSYSERR_NOERROR, "an input does not open");
    h->fOpen = true;
}

void Close(Handle* h) {
    h->reaction = Reaction::kNothing;
    fuzz::Check(Message(h, MIDM_RESET) == MMSYSERR_NOERROR, "a reset is refused");
    for (Buffer& b : h->buffers)
        fuzz::Check(!b.queued, "a reset keeps a buffer");
    fuzz::Check(Message(h, MIDM_CLOSE) == MMSYSERR_NOERROR, "a close is refused");
    h->fOpen = false;
}

MidiFifo* InputRing() {
    return DevNodeToHardwareInstance(0)->aStreams[kStreamIn].pFifo;
}

// A handle for the life of the process, never started, so that the input
// keeps streaming: a start and a stop request for every input would cost more
// than the input itself. Its timer drains what an input left in the ring.
Handle gAnchor;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Root();
    fuzz::StartSilentServer();
    VtHostSetManualClock(TRUE);  // the timer callback runs when this target says
    VtHostSetTime(1000);
    DriverProc(0, nullptr, DRV_LOAD, 0, 0);
    DriverProc(0, nullptr, DRV_ENABLE, 0, 0);
    DriverProc(0, nullptr, DRV_OPEN, 0, 0);
    fuzz::Check(midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0) == 2, "node 0 is not found");
    Open(&gAnchor, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The same start for every input: an empty ring, a parser between packets.
    for (int i = 0; i < 4 && !sim::RingEmpty(InputRing()); ++i)
        VtHostRunTimers();
    fuzz::Check(sim::RingEmpty(InputRing()), "the drain leaves packets in the ring");
    FuzzedDataProvider in(data, size);
    auto handles = std::make_unique<Handle[]>(2);
    Open(&handles[0], 0);
    Open(&handles[1], in.ConsumeIntegralInRange<UINT>(0, 1));
    while (in.remaining_bytes() > 0) {
        Handle* h = &handles[in.ConsumeIntegralInRange<int>(0, 1)];
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0: {  // a buffer of some size queued
                Buffer& b = h->buffers[in.ConsumeIntegralInRange<size_t>(0, kBuffersPerHandle - 1)];
                if (b.queued) break;
                b.data.assign(in.ConsumeIntegralInRange<size_t>(0, 300), kGuard);
                b.hdr = {};
                b.hdr.lpData = b.data.empty() ? nullptr : b.data.data();
                b.hdr.dwBufferLength = static_cast<DWORD>(b.data.size());
                b.hdr.dwFlags = MHDR_PREPARED;
                DWORD r = Message(h, MIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(&b.hdr));
                fuzz::Check((r == MMSYSERR_NOERROR) == !b.data.empty(), "queueing a buffer");
                b.queued = r == MMSYSERR_NOERROR;
                break;
            }
            case 1:
            case 2: {  // packets from the kernel side: mostly well formed
                int count = in.ConsumeIntegralInRange<int>(1, 16);
                for (int i = 0; i < count && in.remaining_bytes() >= 4; ++i) {
                    uint32_t pk = in.ConsumeIntegral<uint32_t>();
                    if (in.ConsumeBool()) pk = FifoPacket(pk, 1 + (pk >> 24) % 3, (pk >> 28) & 1);
                    if (FifoPacketPresent(pk)) sim::RingPut(InputRing(), pk);
                }
                break;
            }
            case 3:
            case 4:  // the timer callback
                VtHostAdvanceTime(in.ConsumeIntegralInRange<DWORD>(0, 50));
                VtHostRunTimers();
                break;
            case 5:
                h->reaction = static_cast<Reaction>(
                    in.ConsumeIntegralInRange<int>(0, static_cast<int>(Reaction::kCount) - 1));
                break;
            case 6: {
                UINT uMsg = in.PickValueInArray({MIDM_START, MIDM_STOP, MIDM_RESET});
                fuzz::Check(Message(h, uMsg) == MMSYSERR_NOERROR, "start, stop or reset");
                break;
            }
            default:
                Close(h);
                Open(h, in.ConsumeIntegralInRange<UINT>(0, 1));
                break;
        }
    }
    Close(&handles[0]);
    Close(&handles[1]);
    return 0;
}
