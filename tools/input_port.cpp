// An input port with its buffers kept queued, and its events handed to the
// thread that waits for them.
#include "tools/input_port.h"

#include "tools/ports.h"

namespace tools {

MMRESULT InputPort::Open(const PortInfo& port, size_t bufferSize, size_t bufferCount) {
    MMRESULT r = midiInOpen(&handle_, port.id, reinterpret_cast<DWORD_PTR>(&InputPort::Callback),
                            reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) {
        handle_ = nullptr;
        ReportOpenError("midiInOpen", port, r);
        return r;
    }
    memory_.assign(bufferCount, std::vector<char>(bufferSize));
    headers_.assign(bufferCount, MIDIHDR{});
    for (size_t i = 0; i < bufferCount; ++i) {
        MIDIHDR& h = headers_[i];
        h.lpData = memory_[i].data();
        h.dwBufferLength = static_cast<DWORD>(bufferSize);
        if ((r = midiInPrepareHeader(handle_, &h, sizeof h)) != MMSYSERR_NOERROR) {
            ReportError("midiInPrepareHeader", r);
            Close();
            return r;
        }
        if ((r = midiInAddBuffer(handle_, &h, sizeof h)) != MMSYSERR_NOERROR) {
            ReportError("midiInAddBuffer", r);
            Close();
            return r;
        }
    }
    if ((r = midiInStart(handle_)) != MMSYSERR_NOERROR) {
        ReportError("midiInStart", r);
        Close();
        return r;
    }
    return MMSYSERR_NOERROR;
}

// Runs on the driver's thread, which holds the driver's lock: record and go.
void CALLBACK InputPort::Callback(HMIDIIN, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dw1,
                                  DWORD_PTR dw2) {
    auto* self = reinterpret_cast<InputPort*>(dwInstance);
    InputEvent e;
    e.arrival = std::chrono::steady_clock::now();
    e.time = static_cast<DWORD>(dw2);
    MIDIHDR* hdr = nullptr;
    switch (uMsg) {
        case MIM_DATA:
        case MIM_MOREDATA:
            e.kind = InputEvent::Data;
            e.msg = static_cast<DWORD>(dw1);
            break;
        case MIM_ERROR:
            e.kind = InputEvent::Error;
            e.msg = static_cast<DWORD>(dw1);
            break;
        case MIM_LONGDATA:
        case MIM_LONGERROR:
            hdr = reinterpret_cast<MIDIHDR*>(dw1);
            e.kind = uMsg == MIM_LONGDATA ? InputEvent::Sysex : InputEvent::SysexError;
            e.bytes.assign(hdr->lpData, hdr->lpData + hdr->dwBytesRecorded);
            break;
        default:
            return;  // open and close
    }
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        if (hdr) self->returned_.push_back(hdr);
        // A reset hands every buffer back empty: nothing arrived.
        if (!(hdr && e.bytes.empty())) self->events_.push_back(std::move(e));
    }
    if (uMsg == MIM_DATA || uMsg == MIM_MOREDATA || uMsg == MIM_ERROR) ++self->cData_;
    self->cv_.notify_one();
}

void InputPort::Requeue() {
    std::vector<MIDIHDR*> again;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        again.swap(returned_);
    }
    if (closing_.load()) return;
    for (MIDIHDR* h : again) {
        MMRESULT r = midiInAddBuffer(handle_, h, sizeof *h);
        if (r != MMSYSERR_NOERROR) ReportError("midiInAddBuffer", r);
    }
}

void InputPort::Wait(std::vector<InputEvent>* out, int timeoutMs) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return !events_.empty() || !returned_.empty(); });
        for (InputEvent& e : events_)
            out->push_back(std::move(e));
        events_.clear();
    }
    Requeue();
}

void InputPort::WaitWhole(std::vector<InputEvent>* out, int timeoutMs) {
    std::vector<InputEvent> events;
    Wait(&events, timeoutMs);
    for (InputEvent& e : events)
        if (sysex_.Join(&e)) out->push_back(std::move(e));
}

MMRESULT InputPort::Close() {
    if (!handle_) return MMSYSERR_NOERROR;
    closing_ = true;
    MMRESULT first = MMSYSERR_NOERROR;
    auto note = [&](const char* call, MMRESULT r) {
        if (r == MMSYSERR_NOERROR) return;
        ReportError(call, r);
        if (first == MMSYSERR_NOERROR) first = r;
    };
    note("midiInStop", midiInStop(handle_));
    note("midiInReset", midiInReset(handle_));
    for (MIDIHDR& h : headers_)
        note("midiInUnprepareHeader", midiInUnprepareHeader(handle_, &h, sizeof h));
    note("midiInClose", midiInClose(handle_));
    handle_ = nullptr;
    return first;
}

}  // namespace tools
