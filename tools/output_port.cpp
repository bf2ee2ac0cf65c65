// An output port that offers a message again while the driver answers
// MIDIERR_NOTREADY (a full ring at wire rate, or another send of the same
// interface in this process).
#include "tools/output_port.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "sim/midi_wire.h"
#include "tools/ports.h"

namespace tools {
namespace {

void Pause() {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
}

// A ring holds at most 1018 packets of up to three bytes.
constexpr auto kByteTime = std::chrono::microseconds(midi::kByteTimeUs);
constexpr auto kRingTime = kByteTime * 1018 * 3;
constexpr auto kMargin = std::chrono::milliseconds(20);

}  // namespace

MMRESULT OutputPort::Open(UINT id) {
    MMRESULT r = midiOutOpen(&handle_, id, 0, 0, CALLBACK_NULL);
    if (r != MMSYSERR_NOERROR) {
        handle_ = nullptr;
        ReportError("midiOutOpen", r);
    }
    return r;
}

MMRESULT OutputPort::Short(DWORD packed) {
    MMRESULT r;
    while ((r = midiOutShortMsg(handle_, packed)) == MIDIERR_NOTREADY)
        Pause();
    if (r != MMSYSERR_NOERROR) {
        ReportError("midiOutShortMsg", r);
        return r;
    }
    unsigned length = midi::MessageLength(packed & 0xFF);
    Account(length ? length : 1);
    return r;
}

MMRESULT OutputPort::Long(const uint8_t* p, size_t n, size_t chunk,
                          const std::function<void(size_t)>& progress) {
    std::vector<char> data;
    for (size_t done = 0; done < n;) {
        size_t len = std::min(chunk, n - done);
        data.assign(p + done, p + done + len);
        MIDIHDR h{};
        h.lpData = data.data();
        h.dwBufferLength = static_cast<DWORD>(len);
        MMRESULT r = midiOutPrepareHeader(handle_, &h, sizeof h);
        if (r != MMSYSERR_NOERROR) {
            ReportError("midiOutPrepareHeader", r);
            return r;
        }
        while ((r = midiOutLongMsg(handle_, &h, sizeof h)) == MIDIERR_NOTREADY)
            Pause();
        if (r != MMSYSERR_NOERROR) {
            ReportError("midiOutLongMsg", r);
            midiOutUnprepareHeader(handle_, &h, sizeof h);
            return r;
        }
        // winmm may hand a long message back later than the call returns.
        while (!(h.dwFlags & MHDR_DONE))
            Pause();
        while ((r = midiOutUnprepareHeader(handle_, &h, sizeof h)) == MIDIERR_STILLPLAYING)
            Pause();
        if (r != MMSYSERR_NOERROR) {
            ReportError("midiOutUnprepareHeader", r);
            return r;
        }
        done += len;
        Account(len);
        if (progress) progress(done);
    }
    return MMSYSERR_NOERROR;
}

void OutputPort::Account(size_t bytes) {
    auto now = std::chrono::steady_clock::now();
    busyUntil_ = std::max(busyUntil_, now) + kByteTime * bytes;
    busyUntil_ = std::min(busyUntil_, now + kRingTime);
}

MMRESULT OutputPort::Close() {
    if (!handle_) return MMSYSERR_NOERROR;
    std::this_thread::sleep_until(busyUntil_ + kMargin);
    MMRESULT r = midiOutClose(handle_);
    if (r != MMSYSERR_NOERROR) ReportError("midiOutClose", r);
    handle_ = nullptr;
    return r;
}

}  // namespace tools
