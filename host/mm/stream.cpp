// The midiStream calls, and what the midiOut calls do with a stream handle.
// A stream is an output handle of the driver's whose notifications come to
// the layer first; the player (stream_player.cpp) plays it (see stream.h).
#include <cstring>
#include <new>
#include <system_error>

#include "host/mm/stream.h"
#include "host/os/host.h"

namespace vtmm {
namespace {

// A stream handle that is open and not being closed, or null.
Stream* StreamOf(HMIDISTRM hms) {
    Handle* p = FindHandle(hms, kStreamMagic);
    return p && !p->pStream->fClosing.load() ? p->pStream : nullptr;
}

bool OnPlayerThread(const Stream* s) {
    return std::this_thread::get_id() == s->player.get_id();
}

// Has the player run c, and waits until it has; on the player's own thread
// (inside a callback) runs it at once.
void Post(Stream* s, StreamCommand c) {
    if (OnPlayerThread(s)) {
        RunStreamCommand(s, c);
        return;
    }
    std::unique_lock<std::mutex> lock(s->m);
    s->commands.push_back(c);
    uint64_t n = ++s->cPosted;
    SetEvent(s->hKick);
    s->cvRan.wait(lock, [&] { return s->cRan >= n; });
}

// The driver's notifications of a stream handle: MOM_DONE of the player's
// own long message stays with the player; the rest goes to the application.
void CALLBACK FromDriver(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                         DWORD_PTR dwParam2) {
    Stream* s = reinterpret_cast<Stream*>(dwInstance);
    if (uMsg == MOM_DONE && dwParam1 == reinterpret_cast<DWORD_PTR>(&s->longHdr)) {
        SetEvent(s->hLongDone);
        return;
    }
    DriverCallback(s->dwCallback, s->dwCallbackType, hdrvr, uMsg, s->dwInstance, dwParam1,
                   dwParam2);
}

// Ends the player and frees what the stream holds (its handle is closed).
void Destroy(Stream* s) {
    if (s->player.joinable()) {
        Post(s, StreamCommand::kQuit);
        s->player.join();
    }
    if (s->hKick) CloseHandle(s->hKick);
    if (s->hLongDone) CloseHandle(s->hLongDone);
    delete s;
}

}  // namespace

MMRESULT CloseStream(Handle* pHandle) {
    Stream* s = pHandle->pStream;
    // The player cannot wait for itself.
    if (OnPlayerThread(s)) return MMSYSERR_HANDLEBUSY;
    bool fWasClosing = false;
    if (!s->fClosing.compare_exchange_strong(fWasClosing, true)) return MMSYSERR_INVALHANDLE;
    Post(s, StreamCommand::kStop);
    MMRESULT r = CloseMidiHandle(pHandle);
    if (r != MMSYSERR_NOERROR) {
        s->fClosing.store(false);
        return r;
    }
    Destroy(s);
    return MMSYSERR_NOERROR;
}

MMRESULT ResetStream(Handle* pHandle) {
    Stream* s = pHandle->pStream;
    if (s->fClosing.load()) return MMSYSERR_INVALHANDLE;
    Post(s, StreamCommand::kReset);
    return MMSYSERR_NOERROR;
}

DWORD SendStreamData(const Handle* pHandle, UINT uMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
    std::lock_guard<std::recursive_mutex> lock(pHandle->pStream->mSend);
    return SendToDriver(pHandle, uMsg, dwParam1, dwParam2);
}

}  // namespace vtmm

using vtmm::Stream;
using vtmm::StreamCommand;

extern "C" {

MMRESULT WINAPI midiStreamOpen(LPHMIDISTRM phms, LPUINT puDeviceID, DWORD cMidi,
                               DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen) {
    if (!phms || !puDeviceID || cMidi != 1) return MMSYSERR_INVALPARAM;
    *phms = nullptr;
    if (MMRESULT r = vtmm::CheckCallbackFlags(fdwOpen)) return r;
    Stream* s = new (std::nothrow) Stream;
    if (!s) return MMSYSERR_NOMEM;
    s->dwCallback = dwCallback;
    s->dwInstance = dwInstance;
    s->dwCallbackType = (fdwOpen & CALLBACK_TYPEMASK) >> 16;
    s->hKick = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    s->hLongDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    try {
        if (s->hKick && s->hLongDone) s->player = std::thread(vtmm::PlayStream, s);
    } catch (const std::system_error&) {
    }
    if (!s->player.joinable()) {
        vtmm::Destroy(s);
        return MMSYSERR_NOMEM;
    }
    vtmm::Handle* p = nullptr;
    MMRESULT r = vtmm::OpenHandle(vtmm::kStreamMagic, *puDeviceID,
                                  reinterpret_cast<DWORD_PTR>(&vtmm::FromDriver),
                                  reinterpret_cast<DWORD_PTR>(s), CALLBACK_FUNCTION, &p, s);
    if (r != MMSYSERR_NOERROR) {
        vtmm::Destroy(s);
        return r;
    }
    {
        std::lock_guard<std::mutex> lock(s->m);
        s->pHandle = p;
    }
    *phms = reinterpret_cast<HMIDISTRM>(p);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiStreamClose(HMIDISTRM hms) {
    vtmm::Handle* p = vtmm::FindHandle(hms, vtmm::kStreamMagic);
    if (!p) return MMSYSERR_INVALHANDLE;
    return vtmm::CloseStream(p);
}

MMRESULT WINAPI midiStreamOut(HMIDISTRM hms, LPMIDIHDR pmh, UINT cbmh) {
    Stream* s = vtmm::StreamOf(hms);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = vtmm::CheckDataHeader(pmh, cbmh)) return r;
    // Whole events only: the player reads DWORDs up to dwBytesRecorded.
    if (pmh->dwBytesRecorded > pmh->dwBufferLength || pmh->dwBytesRecorded % sizeof(DWORD) != 0)
        return MMSYSERR_INVALPARAM;
    uint64_t qwNow = VtHostClockUs();
    {
        std::lock_guard<std::mutex> lock(s->m);
        pmh->dwFlags = (pmh->dwFlags | MHDR_INQUEUE | MHDR_ISSTRM) & ~static_cast<DWORD>(MHDR_DONE);
        bool fOffsetField = cbmh >= offsetof(MIDIHDR, dwOffset) + sizeof(DWORD);
        s->queue.push_back({pmh, pmh->dwBytesRecorded, 0, fOffsetField, s->PlayedUs(qwNow)});
    }
    SetEvent(s->hKick);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiStreamRestart(HMIDISTRM hms) {
    Stream* s = vtmm::StreamOf(hms);
    if (!s) return MMSYSERR_INVALHANDLE;
    uint64_t qwNow = VtHostClockUs();
    {
        std::lock_guard<std::mutex> lock(s->m);
        if (!s->fRunning) {
            s->fRunning = true;
            s->qwRestartClockUs = qwNow;
        }
    }
    SetEvent(s->hKick);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiStreamPause(HMIDISTRM hms) {
    Stream* s = vtmm::StreamOf(hms);
    if (!s) return MMSYSERR_INVALHANDLE;
    vtmm::Post(s, StreamCommand::kPause);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiStreamStop(HMIDISTRM hms) {
    Stream* s = vtmm::StreamOf(hms);
    if (!s) return MMSYSERR_INVALHANDLE;
    vtmm::Post(s, StreamCommand::kStop);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiStreamProperty(HMIDISTRM hms, LPBYTE lppropdata, DWORD dwProperty) {
    Stream* s = vtmm::StreamOf(hms);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!lppropdata) return MMSYSERR_INVALPARAM;
    DWORD action = dwProperty & (MIDIPROP_GET | MIDIPROP_SET);
    DWORD which = dwProperty & ~(MIDIPROP_GET | MIDIPROP_SET);
    if ((action != MIDIPROP_GET && action != MIDIPROP_SET) ||
        (which != MIDIPROP_TEMPO && which != MIDIPROP_TIMEDIV))
        return MMSYSERR_INVALPARAM;
    // Both records are a size and one value.
    DWORD record[2];
    std::memcpy(record, lppropdata, sizeof record);
    if (record[0] != sizeof record) return MMSYSERR_INVALPARAM;
    uint64_t qwNow = VtHostClockUs();
    {
        std::lock_guard<std::mutex> lock(s->m);
        vtmm::Timeline& tl = s->timeline;
        if (action == MIDIPROP_GET) {
            record[1] = which == MIDIPROP_TEMPO ? tl.Tempo() : tl.TimeDiv();
            std::memcpy(lppropdata + sizeof(DWORD), &record[1], sizeof(DWORD));
            return MMSYSERR_NOERROR;
        }
        DWORD dwTimeDiv = tl.TimeDiv(), dwTempo = tl.Tempo();
        if (which == MIDIPROP_TEMPO) {
            if (record[1] == 0) return MMSYSERR_INVALPARAM;
            dwTempo = record[1];
        } else {
            // The division is set while nothing plays, as winmm requires.
            if (s->fRunning) return MIDIERR_STILLPLAYING;
            if (!vtmm::Timeline::ValidTimeDiv(record[1])) return MMSYSERR_INVALPARAM;
            dwTimeDiv = record[1];
        }
        // From the present position on.
        uint64_t qwPlayed = s->PlayedUs(qwNow);
        tl.Set(tl.TickAt(qwPlayed), qwPlayed, dwTimeDiv, dwTempo);
    }
    SetEvent(s->hKick);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiStreamPosition(HMIDISTRM hms, LPMMTIME lpmmt, UINT cbmmt) {
    Stream* s = vtmm::StreamOf(hms);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!lpmmt || cbmmt < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
    uint64_t qwNow = VtHostClockUs();
    std::lock_guard<std::mutex> lock(s->m);
    const vtmm::Timeline& tl = s->timeline;
    uint64_t qwPlayed = s->PlayedUs(qwNow);
    switch (lpmmt->wType) {
        case TIME_TICKS:
            lpmmt->u.ticks = static_cast<DWORD>(tl.TickAt(qwPlayed));
            return MMSYSERR_NOERROR;
        case TIME_MIDI:
            // The song position: sixteenth notes, which a SMPTE division has not.
            if (!tl.Smpte()) {
                lpmmt->u.midi.songptrpos =
                    static_cast<DWORD>(tl.TickAt(qwPlayed) * 4 / (tl.TimeDiv() & 0x7FFF));
                return MMSYSERR_NOERROR;
            }
            break;
        default:
            break;
    }
    // Any other format is answered in milliseconds, as winmm does.
    lpmmt->wType = TIME_MS;
    lpmmt->u.ms = static_cast<DWORD>(qwPlayed / 1000);
    return MMSYSERR_NOERROR;
}

}  // extern "C"
