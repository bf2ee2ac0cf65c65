// An output port that offers a message again while the driver answers
// MIDIERR_NOTREADY (a full ring at wire rate, or another send of the same
// interface in this process), up to a bound.
#include "tools/output_port.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "tools/ports.h"

namespace tools {
namespace {

using Clock = std::chrono::steady_clock;

void Pause() {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
}

}  // namespace

MMRESULT OutputPort::Open(const PortInfo& port) {
    name_ = port.name;
    node_ = port.node;
    MMRESULT r = midiOutOpen(&handle_, port.id, 0, 0, CALLBACK_NULL);
    if (r != MMSYSERR_NOERROR) {
        handle_ = nullptr;
        ReportOpenError("midiOutOpen", port, r);
    }
    return r;
}

void OutputPort::ReportNoDrain() {
    std::fprintf(stderr,
                 "veltrane: %s: the interface took no data for %d s (is the port paused, or "
                 "has its stream ended?)\n",
                 name_.c_str(), kNoDrainMs / 1000);
}

void OutputPort::ReportSendError(const char* call, MMRESULT r) {
    if (r != MMSYSERR_NODRIVER) return ReportError(call, r);
    if (node_ >= 0)
        std::fprintf(stderr, "veltrane: %s: interface removed (device node %d is gone)\n",
                     name_.c_str(), node_);
    else
        std::fprintf(stderr, "veltrane: %s: interface removed\n", name_.c_str());
}

MMRESULT OutputPort::Short(DWORD packed) {
    MMRESULT r;
    Clock::time_point refusedSince{};
    while ((r = midiOutShortMsg(handle_, packed)) == MIDIERR_NOTREADY) {
        if (Stopped()) return kSendStopped;
        Clock::time_point now = Clock::now();
        if (refusedSince == Clock::time_point{}) refusedSince = now;
        if (now - refusedSince >= std::chrono::milliseconds(kNoDrainMs)) {
            ReportNoDrain();
            return r;
        }
        Pause();
    }
    if (r != MMSYSERR_NOERROR) ReportSendError("midiOutShortMsg", r);
    return r;
}

MMRESULT OutputPort::Long(const uint8_t* p, size_t n, size_t chunk,
                          const std::function<void(size_t)>& progress) {
    std::vector<char> data;
    for (size_t done = 0; done < n;) {
        if (Stopped()) return kSendStopped;
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
        Clock::time_point refusedSince = Clock::now(), callStart;
        for (;;) {
            callStart = Clock::now();
            r = midiOutLongMsg(handle_, &h, sizeof h);
            if (r != MIDIERR_NOTREADY || Stopped() ||
                Clock::now() - refusedSince >= std::chrono::milliseconds(kNoDrainMs))
                break;
            Pause();
        }
        if (r != MMSYSERR_NOERROR) {
            // The driver gives up on long data, with a code that says
            // nothing, once the ring has not moved for its stall bound.
            bool stalled = r == MIDIERR_NOTREADY ||
                           (r == MMSYSERR_ERROR &&
                            Clock::now() - callStart >= std::chrono::milliseconds(kNoDrainMs / 2));
            if (Stopped() && r == MIDIERR_NOTREADY) {
                r = kSendStopped;
            } else if (stalled) {
                ReportNoDrain();
            } else {
                ReportSendError("midiOutLongMsg", r);
            }
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
