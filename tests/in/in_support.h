// Helpers of the input tests (which record notifications with
// NotificationRecorder): application buffers with a guard pattern, and a
// producer that fills an input ring the way the kernel side does.
#pragma once

#include <string>
#include <vector>

#include "devices/devices.h"
#include "driver/driver.h"
#include "hwlink/hwlink.h"
#include "midiin/midiin.h"
#include "tests/support/notification_recorder.h"
#include "tests/support/support.h"

namespace vt {

constexpr BYTE kGuard = 0xCC;

// An application buffer, prepared, filled with the guard byte so that a
// write past what was recorded shows.
struct InBuffer {
    explicit InBuffer(DWORD cb) : data(cb, static_cast<char>(kGuard)) {
        hdr.lpData = data.data();
        hdr.dwBufferLength = cb;
        hdr.dwFlags = MHDR_PREPARED;
    }
    InBuffer(const InBuffer&) = delete;
    InBuffer& operator=(const InBuffer&) = delete;

    std::string Recorded() const {
        return HexString(reinterpret_cast<const BYTE*>(data.data()), hdr.dwBytesRecorded);
    }
    // Every byte past dwBytesRecorded still holds the guard.
    bool TailUntouched() const {
        for (size_t i = hdr.dwBytesRecorded; i < data.size(); ++i)
            if (static_cast<BYTE>(data[i]) != kGuard) return false;
        return true;
    }
    MIDIHDR* Hdr() { return &hdr; }

    std::vector<char> data;
    MIDIHDR hdr = {};
};

// The producer side of an input ring: packets go into the slot at iWrite,
// which then advances with the wrap.
inline void PutPacket(MidiFifo* pFifo, uint32_t dwPacket) {
    uint32_t i = pFifo->iWrite;
    FifoSlot(pFifo, i) = dwPacket;
    pFifo->iWrite = FifoNextIndex(i, pFifo->cdwSize);
}

// Bytes as packets of up to three, tagged with the input port.
inline void PutBytes(MidiFifo* pFifo, uint32_t port, const std::vector<BYTE>& bytes) {
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t dw = 0;
        uint32_t c = 0;
        for (; c < 3 && i + c < bytes.size(); ++c)
            dw |= uint32_t(bytes[i + c]) << (8 * c);
        PutPacket(pFifo, FifoPacket(dw, c, port));
    }
}

}  // namespace vt
