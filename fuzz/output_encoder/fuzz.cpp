// The output encoder through modMessage: short messages, long data and
// resets of one or two handles, into a port's ring that this target drains
// as the kernel side would. Every packet must be well formed, and what a
// message put on the wire must be the message itself, with at most the
// running status it relies on in front.
#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

#include "devices/devices.h"
#include "driver/driver.h"
#include "fuzz/support/fuzz_support.h"

namespace {

// Long data small enough that the ring (1018 packets) always takes all of it.
constexpr size_t kMostLongBytes = 1000;

struct Handle {
    DWORD_PTR dwUser = 0;
    UINT port = 0;
    int cDone = 0;  // MOM_DONE notifications
};

void CALLBACK OnNotice(HDRVR, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR, DWORD_PTR) {
    if (uMsg == MOM_DONE) ++reinterpret_cast<Handle*>(dwInstance)->cDone;
}

// What the port's ring holds, taken out, as bytes (each packet's count of
// them); every packet checked.
std::vector<uint8_t> Drain(UINT port) {
    HardwareInstance* pInstance = DevNodeToHardwareInstance(0);
    MidiFifo* pFifo = pInstance->aStreams[kStreamOutA + port].pFifo;
    std::vector<uint8_t> bytes;
    uint32_t pk = 0;
    while (pFifo && sim::RingTake(pFifo, &pk)) {
        uint32_t count = FifoPacketCount(pk);
        fuzz::Check(count >= 1 && count <= 3 && (pk >> 26) == 0, "malformed output packet");
        for (uint32_t i = 0; i < count; ++i)
            bytes.push_back(static_cast<uint8_t>(pk >> (8 * i)));
    }
    return bytes;
}

// The wire holds message, or a channel status and then message when message
// starts with a data byte.
bool IsMessageOnWire(const std::vector<uint8_t>& wire, const std::vector<uint8_t>& message) {
    if (wire == message) return true;
    return !message.empty() && message[0] < 0x80 && wire.size() == message.size() + 1 &&
           wire[0] >= 0x80 && wire[0] <= 0xEF &&
           std::equal(message.begin(), message.end(), wire.begin() + 1);
}

bool Open(Handle* h) {
    MIDIOPENDESC desc = {};
    desc.hMidi = reinterpret_cast<HMIDI>(h);
    desc.dwCallback = reinterpret_cast<DWORD_PTR>(&OnNotice);
    desc.dwInstance = reinterpret_cast<DWORD_PTR>(h);
    h->dwUser = 0;
    DWORD r = modMessage(h->port, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&h->dwUser),
                         reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_FUNCTION);
    fuzz::Check(r == MMSYSERR_NOERROR, "an output does not open");
    return true;
}

void Close(Handle* h) {
    Drain(h->port);  // a close waits for what the ring still holds
    fuzz::Check(modMessage(h->port, MODM_CLOSE, h->dwUser, 0, 0) == MMSYSERR_NOERROR,
                "an output does not close");
    h->dwUser = 0;
}

// A handle on each port for the life of the process, so that the ports keep
// streaming: a start and a stop request for every input would cost more than
// the input itself.
Handle gAnchors[2];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Root();
    fuzz::StartSilentServer();
    DriverProc(0, nullptr, DRV_LOAD, 0, 0);
    DriverProc(0, nullptr, DRV_ENABLE, 0, 0);
    DriverProc(0, nullptr, DRV_OPEN, 0, 0);
    fuzz::Check(modMessage(0, MODM_GETNUMDEVS, 0, 0, 0) == 2, "node 0 is not found");
    gAnchors[1].port = 1;
    Open(&gAnchors[0]);
    Open(&gAnchors[1]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The same start for every input: the running status the ports last
    // received is that of a reset.
    for (Handle& a : gAnchors) {
        modMessage(a.port, MODM_RESET, a.dwUser, 0, 0);
        Drain(a.port);
    }
    FuzzedDataProvider in(data, size);
    Handle handles[2];
    handles[1].port = in.ConsumeIntegralInRange<UINT>(0, 1);
    Open(&handles[0]);
    Open(&handles[1]);
    while (in.remaining_bytes() > 0) {
        Handle& h = handles[in.ConsumeIntegralInRange<int>(0, 1)];
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: {
                DWORD dwMsg = in.ConsumeIntegral<uint32_t>();
                DWORD r = modMessage(h.port, MODM_DATA, h.dwUser, dwMsg, 0);
                fuzz::Check(r == MMSYSERR_NOERROR, "a short message is refused");
                std::vector<uint8_t> msg = {static_cast<uint8_t>(dwMsg),
                                            static_cast<uint8_t>(dwMsg >> 8),
                                            static_cast<uint8_t>(dwMsg >> 16)};
                std::vector<uint8_t> wire = Drain(h.port);
                fuzz::Check(wire.size() <= 4, "a short message longer than a packet");
                // A prefix of the message, after the status it relies on.
                bool withStatus = !wire.empty() && msg[0] < 0x80 && wire[0] >= 0x80;
                std::vector<uint8_t> sent(wire.begin() + (withStatus ? 1 : 0), wire.end());
                fuzz::Check(sent.size() <= 3 && std::equal(sent.begin(), sent.end(), msg.begin()),
                            "a short message is not what was sent");
                fuzz::Check(msg[0] < 0x80 || (!wire.empty() && wire[0] == msg[0]),
                            "a status byte is lost");
                break;
            }
            case 1: {
                std::vector<uint8_t> bytes =
                    in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, kMostLongBytes));
                bool prepared = in.ConsumeIntegralInRange<int>(0, 15) != 0;
                MIDIHDR hdr = {};
                hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
                hdr.dwBufferLength = static_cast<DWORD>(bytes.size());
                hdr.dwFlags = prepared ? MHDR_PREPARED : 0;
                int cDone = h.cDone;
                DWORD r = modMessage(h.port, MODM_LONGDATA, h.dwUser,
                                     reinterpret_cast<DWORD_PTR>(&hdr), sizeof hdr);
                std::vector<uint8_t> wire = Drain(h.port);
                if (!prepared) {
                    fuzz::Check(r == MIDIERR_UNPREPARED && wire.empty() && h.cDone == cDone,
                                "unprepared long data is taken");
                    break;
                }
                fuzz::Check(r == MMSYSERR_NOERROR, "long data is refused");
                fuzz::Check(h.cDone == cDone + 1 && (hdr.dwFlags & MHDR_DONE),
                            "long data is not done once");
                fuzz::Check(IsMessageOnWire(wire, bytes), "long data is not what was sent");
                break;
            }
            case 2:
                fuzz::Check(modMessage(h.port, MODM_RESET, h.dwUser, 0, 0) == MMSYSERR_NOERROR,
                            "a reset is refused");
                Drain(h.port);
                break;
            default:
                Close(&h);
                h.port = in.ConsumeIntegralInRange<UINT>(0, 1);
                Open(&h);
                break;
        }
    }
    Close(&handles[0]);
    Close(&handles[1]);
    return 0;
}
