// The player of a MIDI stream (see stream.h): its time line, the loop of its
// thread, and how it sends events and gives buffers back.
#include <sys/prctl.h>

#include <cstring>

#include "host/mm/stream.h"
#include "host/os/host.h"

namespace vtmm {

// ---------------------------------------------------------------- time line

bool Timeline::ValidTimeDiv(DWORD dwTimeDiv) {
    DWORD div = dwTimeDiv & 0xFFFF;
    if ((div & 0x8000) == 0) return div != 0;
    int fps = -static_cast<int8_t>(div >> 8);
    return (fps == 24 || fps == 25 || fps == 29 || fps == 30) && (div & 0xFF) != 0;
}

void Timeline::Rate(uint64_t* pNum, uint64_t* pDen) const {
    if (!Smpte()) {
        *pNum = dwTempo_;
        *pDen = dwTimeDiv_ & 0x7FFF;
        return;
    }
    int fps = -static_cast<int8_t>(dwTimeDiv_ >> 8);
    uint64_t ticksPerFrame = dwTimeDiv_ & 0xFF;
    if (fps == 29) {  // 29.97 frames a second: 30000 frames in 1001 seconds
        *pNum = 1001u * 1000000u;
        *pDen = 30000u * ticksPerFrame;
    } else {
        *pNum = 1000000u;
        *pDen = static_cast<uint64_t>(fps) * ticksPerFrame;
    }
}

uint64_t Timeline::TickAt(uint64_t qwUs) const {
    if (qwUs <= qwAnchorUs_) return qwAnchorTick_;
    uint64_t num, den;
    Rate(&num, &den);
    unsigned __int128 ticks = static_cast<unsigned __int128>(qwUs - qwAnchorUs_) * den / num;
    return qwAnchorTick_ + static_cast<uint64_t>(ticks);
}

uint64_t Timeline::UsAt(uint64_t qwTick) const {
    if (qwTick <= qwAnchorTick_) return qwAnchorUs_;
    uint64_t num, den;
    Rate(&num, &den);
    // Rounded up: at the time answered the tick has come.
    unsigned __int128 us =
        (static_cast<unsigned __int128>(qwTick - qwAnchorTick_) * num + den - 1) / den;
    return qwAnchorUs_ + static_cast<uint64_t>(us);
}

void Timeline::Set(uint64_t qwTick, uint64_t qwUs, DWORD dwTimeDiv, DWORD dwTempo) {
    qwAnchorTick_ = qwTick;
    qwAnchorUs_ = qwUs;
    dwTimeDiv_ = dwTimeDiv & 0xFFFF;
    dwTempo_ = dwTempo;
}

namespace {

constexpr DWORD kEventHeader = 3 * sizeof(DWORD);  // dwDeltaTime, dwStreamID, dwEvent
// How long a message the driver keeps refusing as not ready is tried again.
constexpr DWORD kNotReadyRetryMs = 1000;

BYTE EventType(DWORD dwEvent) {
    // The callback flag is a bit of the type byte.
    return MEVT_EVENTTYPE(dwEvent) & static_cast<BYTE>(~(MEVT_F_CALLBACK >> 24));
}

// What the player does next.
struct Step {
    enum Kind { kWait, kPlay, kGiveBack } kind = kWait;
    uint64_t qwWakeClockUs = UINT64_MAX;  // kWait: the clock to look again at (or a kick)
    StreamBuffer buffer{};                // kPlay: the event's buffer; kGiveBack: the one done
    DWORD dwEvent = 0;                    // kPlay
    DWORD dwOffset = 0;                   // kPlay: where the event starts in its buffer
    const BYTE* pbLong = nullptr;         // kPlay: a long event's bytes
    DWORD cbLong = 0;
};

// Takes the next step from the queue (s->m held): an event that is due, or a
// buffer that is done, or how long to wait.
Step NextStep(Stream* s, uint64_t qwNowUs) {
    Step step;
    if (!s->fRunning || s->queue.empty()) return step;
    StreamBuffer& b = s->queue.front();
    const BYTE* pEvent = reinterpret_cast<const BYTE*>(b.pmh->lpData) + b.dwNext;
    DWORD cbLeft = b.cbToPlay - b.dwNext;
    DWORD dwDelta = 0, dwEvent = 0;
    uint64_t cbEvent = kEventHeader;
    if (cbLeft >= kEventHeader) {
        std::memcpy(&dwDelta, pEvent, sizeof dwDelta);
        std::memcpy(&dwEvent, pEvent + 2 * sizeof(DWORD), sizeof dwEvent);
        if (dwEvent & MEVT_F_LONG)
            cbEvent += (uint64_t{MEVT_EVENTPARM(dwEvent)} + 3) & ~uint64_t{3};
    }
    // Done at its end, or at an event that runs past it (the rest is not played).
    if (cbLeft < cbEvent) {
        step.kind = Step::kGiveBack;
        step.buffer = b;
        s->queue.pop_front();
        return step;
    }

    Timeline& tl = s->timeline;
    uint64_t qwTick = s->qwEventTick + dwDelta;
    uint64_t qwPlayed = s->PlayedUs(qwNowUs);
    uint64_t qwDue = tl.UsAt(qwTick);
    if (qwDue > qwPlayed) {
        step.qwWakeClockUs = s->qwRestartClockUs + (qwDue - s->qwPlayedUs);
        return step;
    }

    step.kind = Step::kPlay;
    step.buffer = b;
    step.dwEvent = dwEvent;
    step.dwOffset = b.dwNext;
    if (dwEvent & MEVT_F_LONG) {
        step.pbLong = pEvent + kEventHeader;
        step.cbLong = MEVT_EVENTPARM(dwEvent);
    }
    b.dwNext += static_cast<DWORD>(cbEvent);
    s->qwEventTick = qwTick;
    DWORD dwTempo = MEVT_EVENTPARM(dwEvent);
    if (EventType(dwEvent) == MEVT_TEMPO && dwTempo != 0) {
        // The tempo changes at the event's tick, unless that time had passed
        // before the event could be seen (its buffer came later): then now,
        // so that the position does not jump back.
        if (qwTick >= tl.AnchorTick() && qwDue >= b.qwArrivalUs)
            tl.Set(qwTick, qwDue, tl.TimeDiv(), dwTempo);
        else
            tl.Set(tl.TickAt(qwPlayed), qwPlayed, tl.TimeDiv(), dwTempo);
    }
    return step;
}

void Notify(Stream* s, UINT uMsg, DWORD_PTR dwParam1) {
    DriverCallback(s->dwCallback, s->dwCallbackType, reinterpret_cast<HDRVR>(s->pHandle), uMsg,
                   s->dwInstance, dwParam1, 0);
}

// Sends one data message of the player, trying again while the driver
// answers that it is not ready (another sender of the interface, or a full
// ring) for up to kNotReadyRetryMs.
DWORD SendData(Stream* s, UINT uMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
    std::lock_guard<std::recursive_mutex> lock(s->mSend);
    DWORD dwStart = GetTickCount();
    for (int attempt = 0;; ++attempt) {
        DWORD r = SendToDriver(s->pHandle, uMsg, dwParam1, dwParam2);
        if (r != MIDIERR_NOTREADY || GetTickCount() - dwStart >= kNotReadyRetryMs) return r;
        if (attempt < 64)
            SwitchToThread();
        else
            Sleep(1);
    }
}

// Keeps count of the notes the stream turned on, for midiStreamStop.
void TrackNotes(Stream* s, DWORD dwMsg) {
    BYTE st = dwMsg & 0xFF;
    BYTE d1 = (dwMsg >> 8) & 0x7F, d2 = (dwMsg >> 16) & 0x7F;
    if (st >= 0xF0) {
        if (st < 0xF8) s->bStatus = 0;  // system common ends running status
        return;
    }
    if (st >= 0x80) {
        s->bStatus = st;
    } else if (s->bStatus != 0) {
        d2 = d1;
        d1 = st;
        st = s->bStatus;
    } else {
        return;
    }
    BYTE kind = st & 0xF0;
    if (kind == 0x90 && d2 != 0)
        s->notesOn[st & 0x0F].set(d1);
    else if (kind == 0x80 || kind == 0x90)
        s->notesOn[st & 0x0F].reset(d1);
}

void SendShort(Stream* s, DWORD dwMsg) {
    if (SendData(s, MODM_DATA, dwMsg, 0) == MMSYSERR_NOERROR) TrackNotes(s, dwMsg);
}

void SendLong(Stream* s, const BYTE* pb, DWORD cb) {
    std::lock_guard<std::recursive_mutex> lock(s->mSend);
    MIDIHDR& h = s->longHdr;
    h = MIDIHDR{};
    h.lpData = reinterpret_cast<LPSTR>(const_cast<BYTE*>(pb));
    h.dwBufferLength = cb;
    h.dwBytesRecorded = cb;
    if (PrepareHeader(s->pHandle, &h, sizeof h) != MMSYSERR_NOERROR) return;
    ResetEvent(s->hLongDone);
    // A driver that takes the buffer gives it back with MOM_DONE, maybe later.
    if (SendData(s, MODM_LONGDATA, reinterpret_cast<DWORD_PTR>(&h), sizeof h) == MMSYSERR_NOERROR &&
        !(h.dwFlags & MHDR_DONE))
        WaitForSingleObject(s->hLongDone, INFINITE);
    UnprepareHeader(s->pHandle, &h, sizeof h);
}

void NotesOff(Stream* s) {
    for (DWORD ch = 0; ch < 16; ++ch) {
        for (DWORD note = 0; note < 128; ++note)
            if (s->notesOn[ch].test(note)) SendData(s, MODM_DATA, 0x80 | ch | (note << 8), 0);
        s->notesOn[ch].reset();
    }
    s->bStatus = 0;
}

void Play(Stream* s, const Step& step) {
    switch (EventType(step.dwEvent)) {
        case MEVT_SHORTMSG:
            SendShort(s, MEVT_EVENTPARM(step.dwEvent));
            break;
        case MEVT_LONGMSG:
            SendLong(s, step.pbLong, step.cbLong);
            break;
        default:  // tempo (taken with the event), NOP, comments, versions
            break;
    }
    if (step.dwEvent & MEVT_F_CALLBACK) {
        if (step.buffer.fOffsetField) step.buffer.pmh->dwOffset = step.dwOffset;
        Notify(s, MOM_POSITIONCB, reinterpret_cast<DWORD_PTR>(step.buffer.pmh));
    }
}

void GiveBack(Stream* s, const StreamBuffer& b) {
    b.pmh->dwFlags = (b.pmh->dwFlags & ~static_cast<DWORD>(MHDR_INQUEUE)) | MHDR_DONE;
    Notify(s, MOM_DONE, reinterpret_cast<DWORD_PTR>(b.pmh));
}

}  // namespace

void RunStreamCommand(Stream* s, StreamCommand c) {
    std::deque<StreamBuffer> done;
    {
        uint64_t qwNow = VtHostClockUs();
        std::lock_guard<std::mutex> lock(s->m);
        if (c == StreamCommand::kPause) {
            s->qwPlayedUs = s->PlayedUs(qwNow);
            s->fRunning = false;
            return;
        }
        // Stop, reset and the end: back to the start, paused, every buffer
        // given back.
        s->fRunning = false;
        s->qwPlayedUs = 0;
        s->qwEventTick = 0;
        s->timeline.Set(0, 0, s->timeline.TimeDiv(), s->timeline.Tempo());
        done.swap(s->queue);
    }
    // At the end the handle is closed already (its stop ended the notes);
    // what a racing midiStreamOut queued since still comes back.
    if (c != StreamCommand::kQuit) NotesOff(s);
    if (c == StreamCommand::kReset) SendData(s, MODM_RESET, 0, 0);
    for (const StreamBuffer& b : done)
        GiveBack(s, b);
}

void PlayStream(Stream* s) {
    // Wake at the due time itself, not up to the 50 us later Linux allows a
    // thread's timers by default.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    for (;;) {
        std::unique_lock<std::mutex> lock(s->m);
        if (!s->commands.empty()) {
            StreamCommand c = s->commands.front();
            s->commands.pop_front();
            lock.unlock();
            RunStreamCommand(s, c);
            lock.lock();
            ++s->cRan;
            s->cvRan.notify_all();
            if (c == StreamCommand::kQuit) return;
            continue;
        }
        Step step = NextStep(s, VtHostClockUs());
        lock.unlock();
        switch (step.kind) {
            case Step::kWait:
                VtHostWaitEventUntil(s->hKick, step.qwWakeClockUs);
                break;
            case Step::kPlay:
                Play(s, step);
                break;
            case Step::kGiveBack:
                GiveBack(s, step.buffer);
                break;
        }
    }
}

}  // namespace vtmm
