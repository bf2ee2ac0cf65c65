// The multimedia layer's MIDI calls with hostile arguments, over the real
// driver and a simulated interface: handles that are null, made up, closed
// or of the other direction; device IDs out of range; open flags of every
// kind; headers with any flags and sizes (their buffers always as long as
// they say); buffers still queued at a close; record and text sizes from
// none to more than the record. Nothing may crash, hang or leak a handle;
// every handle opened here is closed at the end of each input.
#include <dlfcn.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

#include "fuzz/support/fuzz_support.h"
#include "host/mm/vtmm.h"

namespace {

constexpr size_t kHeaders = 4;
constexpr size_t kSlack = 64;  // records are this much larger than any size given for them

struct Header {
    MIDIHDR hdr = {};
    char pad[kSlack] = {};  // what a size past the record reaches
    std::vector<char> data;
};

HANDLE gEvent = nullptr;

void CALLBACK OnNotice(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

struct Run {
    explicit Run(FuzzedDataProvider& data) : in(data) {}
    FuzzedDataProvider& in;
    std::vector<HMIDIOUT> outs;  // opened here (closed ones stay, as stale values)
    std::vector<HMIDIIN> ins;
    std::vector<bool> outOpen, inOpen;
    std::unique_ptr<Header[]> headers = std::make_unique<Header[]>(kHeaders);

    UINT DeviceId() {
        return in.PickValueInArray<UINT>({0, 1, 2, 3, MIDI_MAPPER, in.ConsumeIntegral<UINT>()});
    }
    // A live handle, a closed one, one of the other direction, or made up.
    template <typename H, typename Other>
    H Pick(const std::vector<H>& mine, const std::vector<Other>& other) {
        switch (in.ConsumeIntegralInRange<int>(0, 5)) {
            case 0:
                return nullptr;
            case 1:
                return reinterpret_cast<H>(in.ConsumeIntegral<uintptr_t>());
            case 2:
                if (!other.empty())
                    return reinterpret_cast<H>(
                        other[in.ConsumeIntegralInRange<size_t>(0, other.size() - 1)]);
                return nullptr;
            default:
                if (!mine.empty())
                    return mine[in.ConsumeIntegralInRange<size_t>(0, mine.size() - 1)];
                return nullptr;
        }
    }
    void Open(bool output) {
        DWORD_PTR callback = 0;
        DWORD flags = in.PickValueInArray<DWORD>({CALLBACK_NULL, CALLBACK_FUNCTION, CALLBACK_EVENT,
                                                  CALLBACK_WINDOW, CALLBACK_THREAD,
                                                  in.ConsumeIntegral<DWORD>()});
        if ((flags & CALLBACK_TYPEMASK) == CALLBACK_FUNCTION)
            callback = reinterpret_cast<DWORD_PTR>(&OnNotice);
        else if ((flags & CALLBACK_TYPEMASK) == CALLBACK_EVENT)
            callback = in.ConsumeBool() ? reinterpret_cast<DWORD_PTR>(gEvent)
                                        : in.ConsumeIntegral<uint16_t>();  // no such event
        bool withPlace = in.ConsumeIntegralInRange<int>(0, 15) != 0;
        if (output) {
            HMIDIOUT h = nullptr;
            if (midiOutOpen(withPlace ? &h : nullptr, DeviceId(), callback, 0, flags) == 0) {
                outs.push_back(h);
                outOpen.push_back(true);
            }
        } else {
            HMIDIIN h = nullptr;
            if (midiInOpen(withPlace ? &h : nullptr, DeviceId(), callback, 0, flags) == 0) {
                ins.push_back(h);
                inOpen.push_back(true);
            }
        }
    }
    // A header with any flags and sizes, its buffer as long as it says.
    LPMIDIHDR PickHeader(UINT* cbmh) {
        *cbmh = in.PickValueInArray<UINT>({sizeof(MIDIHDR), sizeof(MIDIHDR), 0, 8,
                                           offsetof(MIDIHDR, dwOffset), sizeof(MIDIHDR) + kSlack});
        if (in.ConsumeIntegralInRange<int>(0, 15) == 0) return nullptr;
        Header& h = headers[in.ConsumeIntegralInRange<size_t>(0, kHeaders - 1)];
        // A header the driver holds (queued) keeps its buffer.
        if (!(h.hdr.dwFlags & MHDR_INQUEUE) && in.ConsumeBool()) {
            h.data = in.ConsumeBytes<char>(in.ConsumeIntegralInRange<size_t>(0, 300));
            h.hdr.lpData = h.data.empty() && in.ConsumeBool() ? nullptr : h.data.data();
            h.hdr.dwBufferLength = static_cast<DWORD>(h.data.size());
            h.hdr.dwFlags = in.ConsumeIntegral<DWORD>() & ~static_cast<DWORD>(MHDR_INQUEUE);
        }
        return &h.hdr;
    }
    void Step() {
        UINT cbmh = 0;
        switch (in.ConsumeIntegralInRange<int>(0, 15)) {
            case 0:
                Open(true);
                break;
            case 1:
                Open(false);
                break;
            case 2:
                midiOutShortMsg(Pick(outs, ins), in.ConsumeIntegral<DWORD>());
                break;
            case 3: {
                HMIDIOUT h = Pick(outs, ins);
                LPMIDIHDR p = PickHeader(&cbmh);
                midiOutLongMsg(h, p, cbmh);
                break;
            }
            case 4: {
                HMIDIOUT h = Pick(outs, ins);
                LPMIDIHDR p = PickHeader(&cbmh);
                in.ConsumeBool() ? midiOutPrepareHeader(h, p, cbmh)
                                 : midiOutUnprepareHeader(h, p, cbmh);
                break;
            }
            case 5:
                midiOutReset(Pick(outs, ins));
                break;
            case 6: {
                HMIDIIN h = Pick(ins, outs);
                LPMIDIHDR p = PickHeader(&cbmh);
                midiInAddBuffer(h, p, cbmh);
                break;
            }
            case 7: {
                HMIDIIN h = Pick(ins, outs);
                LPMIDIHDR p = PickHeader(&cbmh);
                in.ConsumeBool() ? midiInPrepareHeader(h, p, cbmh)
                                 : midiInUnprepareHeader(h, p, cbmh);
                break;
            }
            case 8: {
                HMIDIIN h = Pick(ins, outs);
                switch (in.ConsumeIntegralInRange<int>(0, 2)) {
                    case 0:
                        midiInStart(h);
                        break;
                    case 1:
                        midiInStop(h);
                        break;
                    default:
                        midiInReset(h);
                        break;
                }
                break;
            }
            case 9: {
                // A close; an input with buffers queued refuses it.
                if (in.ConsumeBool()) {
                    HMIDIOUT h = Pick(outs, ins);
                    if (midiOutClose(h) == 0) Closed(outs, outOpen, h);
                } else {
                    HMIDIIN h = Pick(ins, outs);
                    if (midiInClose(h) == 0) Closed(ins, inOpen, h);
                }
                break;
            }
            case 10: {
                UINT id = 0;
                UINT* p = in.ConsumeBool() ? &id : nullptr;
                in.ConsumeBool() ? midiOutGetID(Pick(outs, ins), p)
                                 : midiInGetID(Pick(ins, outs), p);
                break;
            }
            case 11: {
                union {
                    MIDIOUTCAPSW out;
                    MIDIINCAPSW in;
                    char room[sizeof(MIDIOUTCAPSW) + kSlack];
                } caps;
                UINT cb = in.ConsumeIntegralInRange<UINT>(0, sizeof caps);
                bool withRecord = in.ConsumeIntegralInRange<int>(0, 7) != 0;
                in.ConsumeBool()
                    ? midiOutGetDevCapsW(DeviceId(), withRecord ? &caps.out : nullptr, cb)
                    : midiInGetDevCapsW(DeviceId(), withRecord ? &caps.in : nullptr, cb);
                break;
            }
            case 12: {
                WCHAR wide[MAXERRORLENGTH + kSlack];
                char narrow[MAXERRORLENGTH + kSlack];
                MMRESULT err = in.ConsumeIntegralInRange<MMRESULT>(0, 80);
                UINT cch = in.ConsumeIntegralInRange<UINT>(0, MAXERRORLENGTH + kSlack);
                bool withText = in.ConsumeIntegralInRange<int>(0, 7) != 0;
                switch (in.ConsumeIntegralInRange<int>(0, 3)) {
                    case 0:
                        midiOutGetErrorTextW(err, withText ? wide : nullptr, cch);
                        break;
                    case 1:
                        midiInGetErrorTextW(err, withText ? wide : nullptr, cch);
                        break;
                    case 2:
                        midiOutGetErrorTextA(err, withText ? narrow : nullptr, cch);
                        break;
                    default:
                        midiInGetErrorTextA(err, withText ? narrow : nullptr, cch);
                        break;
                }
                break;
            }
            case 13:
                midiOutGetNumDevs();
                midiInGetNumDevs();
                break;
            case 14:
                // Refused while anything is open; otherwise the driver goes
                // and comes back with the next call.
                VtMmShutdown();
                break;
            default:
                midiOutShortMsg(Pick(outs, ins), 0x90 | (in.ConsumeIntegral<DWORD>() & 0xFFFF00));
                break;
        }
    }
    template <typename H>
    static void Closed(const std::vector<H>& handles, std::vector<bool>& open, H h) {
        for (size_t i = 0; i < handles.size(); ++i)
            if (handles[i] == h) open[i] = false;
    }
    // Everything this input opened is closed again; queued buffers come back
    // at the reset.
    void CloseAll() {
        for (size_t i = 0; i < outs.size(); ++i)
            if (outOpen[i]) fuzz::Check(midiOutClose(outs[i]) == 0, "an output does not close");
        for (size_t i = 0; i < ins.size(); ++i) {
            if (!inOpen[i]) continue;
            fuzz::Check(midiInReset(ins[i]) == 0, "an input does not reset");
            fuzz::Check(midiInClose(ins[i]) == 0, "an input does not close");
        }
        fuzz::Check(VtMmOpenHandles() == 0, "a handle is left open");
        for (size_t i = 0; i < kHeaders; ++i)
            fuzz::Check(!(headers[i].hdr.dwFlags & MHDR_INQUEUE), "a header stays queued");
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Root();
    // The layer unloads the driver at a shutdown; its coverage counters
    // must stay mapped for libFuzzer, so the library stays in memory.
    setenv("VELTRANE_DRIVER", VT_DRIVER_LIB, 1);
    if (!dlopen(VT_DRIVER_LIB, RTLD_NOW | RTLD_NODELETE)) fuzz::Fail("cannot load the driver");
    fuzz::FreshServer();
    gEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fuzz::Check(midiOutGetNumDevs() == 2, "the driver does not see the interface");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Run run(in);
    while (in.remaining_bytes() > 0)
        run.Step();
    run.CloseAll();
    return 0;
}
