// Helpers of the output tests (which record notifications with
// NotificationRecorder): a consumer that drains a ring block the way the
// kernel side does, a tiny MIDI parser that turns wire bytes back into
// messages, and output handles opened through modMessage.
#pragma once

#include <string>
#include <vector>

#include "devices/devices.h"
#include "driver/driver.h"
#include "midiout/midiout.h"
#include "tests/support/notification_recorder.h"
#include "tests/support/sim_process.h"
#include "tests/support/support.h"

namespace vt {

// Takes every packet waiting in a block, as the consumer does: clears each
// slot and advances iRead.
inline std::vector<uint32_t> DrainRing(MidiFifo* pFifo) {
    std::vector<uint32_t> out;
    for (;;) {
        uint32_t i = pFifo->iRead;
        uint32_t v = FifoSlot(pFifo, i);
        if (!FifoPacketPresent(v)) break;
        out.push_back(v);
        FifoSlot(pFifo, i) = 0;
        pFifo->iRead = FifoNextIndex(i, pFifo->cdwSize);
    }
    return out;
}

// The bytes of packets in order (the count says how many of each are valid).
inline std::vector<BYTE> PacketBytes(const std::vector<uint32_t>& packets) {
    std::vector<BYTE> out;
    for (uint32_t p : packets)
        for (uint32_t k = 0; k < FifoPacketCount(p); ++k)
            out.push_back((p >> (8 * k)) & 0xFF);
    return out;
}

// A receiving MIDI device: channel messages with running status, system
// common, sysex to F7, real-time anywhere. Each message comes out complete
// with its status, as "90 3C 40".
inline std::vector<std::string> ParseMidi(const std::vector<BYTE>& bytes) {
    std::vector<std::string> out;
    BYTE running = 0;
    std::vector<BYTE> msg;
    size_t need = 0;
    bool sysex = false;
    auto lengthOf = [](BYTE st) -> size_t {
        if (st < 0xF0) return gabMsgLenChannel[(st >> 4) - 8];
        return gabMsgLenSystem[st - 0xF0];
    };
    for (BYTE b : bytes) {
        if (b >= 0xF8) {
            out.push_back(HexString(&b, 1));
            continue;
        }
        if (sysex) {
            msg.push_back(b);
            if (b == 0xF7) {
                out.push_back(HexString(msg));
                msg.clear();
                sysex = false;
            }
            continue;
        }
        if (b >= 0x80) {
            msg.assign(1, b);
            if (b == 0xF0) {
                sysex = true;
                running = 0;
                continue;
            }
            running = b < 0xF0 ? b : 0;
            need = lengthOf(b);
        } else {
            if (msg.empty()) {
                if (running == 0) {
                    out.push_back("stray " + HexString(&b, 1));
                    continue;
                }
                msg.assign(1, running);
                need = lengthOf(running);
            }
            msg.push_back(b);
        }
        if (msg.size() == need) {
            out.push_back(HexString(msg));
            msg.clear();
        }
    }
    if (!msg.empty()) out.push_back("partial " + HexString(msg));
    return out;
}

// One output handle opened through modMessage, as the multimedia layer does.
struct OutHandle {
    UINT uDeviceID = 0;
    DWORD_PTR dwUser = 0;

    DWORD Open(UINT id, NotificationRecorder* rec, DWORD dwFlags = CALLBACK_FUNCTION,
               HMIDI hMidi = reinterpret_cast<HMIDI>(0x5150)) {
        uDeviceID = id;
        MIDIOPENDESC desc{};
        desc.hMidi = hMidi;
        desc.dwCallback = rec ? rec->Callback() : 0;
        desc.dwInstance = rec ? rec->Instance() : 0;
        return modMessage(id, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&dwUser),
                          reinterpret_cast<DWORD_PTR>(&desc), dwFlags);
    }
    DWORD Close() { return modMessage(uDeviceID, MODM_CLOSE, dwUser, 0, 0); }
    DWORD Short(DWORD dwMsg) { return modMessage(uDeviceID, MODM_DATA, dwUser, dwMsg, 0); }
    DWORD Long(MIDIHDR* pHdr) {
        return modMessage(uDeviceID, MODM_LONGDATA, dwUser, reinterpret_cast<DWORD_PTR>(pHdr),
                          sizeof(MIDIHDR));
    }
    DWORD Reset() { return modMessage(uDeviceID, MODM_RESET, dwUser, 0, 0); }
    OutputClient* Client() const { return reinterpret_cast<OutputClient*>(dwUser); }
};

// A prepared header over bytes (which must outlive it).
inline MIDIHDR PreparedHeader(std::vector<BYTE>& bytes) {
    MIDIHDR hdr{};
    hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
    hdr.dwBufferLength = static_cast<DWORD>(bytes.size());
    hdr.dwFlags = MHDR_PREPARED;
    return hdr;
}

// What a port's receiver hears: the bytes an output of the simulator drains,
// collected until they make cMessages whole messages, each capture waiting for
// the next packets. Short when they stop coming (with a test failure).
inline std::vector<BYTE> HearMessages(Simulator& sim, unsigned node, char port, size_t cMessages) {
    std::vector<BYTE> wire;
    auto whole = [&] {
        size_t c = 0;
        for (const std::string& m : ParseMidi(wire))
            c += m.rfind("partial", 0) != 0;
        return c;
    };
    while (whole() < cMessages) {
        std::vector<BYTE> more = PacketBytes(sim.CapturePackets(node, port, 1));
        if (more.empty()) break;
        wire.insert(wire.end(), more.begin(), more.end());
    }
    return wire;
}

}  // namespace vt
