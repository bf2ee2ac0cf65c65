// An output port that offers a message again while the driver answers
// MIDIERR_NOTREADY (a full ring at wire rate, or another send of the same
// interface in this process).
#include "tools/output_port.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "tools/ports.h"

namespace tools {
namespace {

void Pause() {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
}

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
        if (progress) progress(done);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT OutputPort::Close() {
    if (!handle_) return MMSYSERR_NOERROR;
    MMRESULT r = midiOutClose(handle_);
    if (r != MMSYSERR_NOERROR) ReportError("midiOutClose", r);
    handle_ = nullptr;
    return r;
}

}  // namespace tools
