// Helpers of the input tests: a recorder of the notifications an input
// handle receives, application buffers with a guard pattern, and a producer
// that fills an input ring the way the kernel side does.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "hwlink/hwlink.h"
#include "midiin/midiin.h"
#include "tests/support/support.h"

namespace vt {

struct InNote {
    HDRVR hDrv;
    UINT uMsg;
    DWORD_PTR dwInstance;
    DWORD_PTR dwParam1;
    DWORD_PTR dwParam2;
};

// Receives CALLBACK_FUNCTION notifications; the recorder's address travels
// in dwInstance, so each recorder sees only the handles opened with it. The
// hook, when set, runs inside the callback (on whatever thread delivers it).
class InRecorder {
  public:
    static void CALLBACK Receive(HDRVR hDrv, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1,
                                 DWORD_PTR dw2) {
        auto* self = reinterpret_cast<InRecorder*>(dwUser);
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->seen_.push_back({hDrv, uMsg, dwUser, dw1, dw2});
        }
        if (self->hook) self->hook(uMsg, dw1, dw2);
    }
    DWORD_PTR Callback() const { return reinterpret_cast<DWORD_PTR>(&Receive); }
    DWORD_PTR Instance() { return reinterpret_cast<DWORD_PTR>(this); }

    std::vector<InNote> Seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_.size();
    }
    std::vector<UINT> Messages() {
        std::vector<UINT> out;
        for (const InNote& n : Seen())
            out.push_back(n.uMsg);
        return out;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.clear();
    }
    MIDIOPENDESC Desc(HMIDI hMidi) {
        MIDIOPENDESC desc = {};
        desc.hMidi = hMidi;
        desc.dwCallback = Callback();
        desc.dwInstance = Instance();
        return desc;
    }

    std::function<void(UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2)> hook;

  private:
    std::mutex mutex_;
    std::vector<InNote> seen_;
};

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
    pFifo->iWrite = (i + 1 >= pFifo->cdwSize) ? kFifoFirstSlot : i + 1;
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
