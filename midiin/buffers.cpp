// The queue of application buffers of an input handle: buffers are appended
// by MIDM_ADDBUFFER, filled in order by the parser, and handed back partly
// filled at a stop or empty at a reset.
#include "devices/devices.h"
#include "hwlink/hwlink.h"
#include "midiin/midiin.h"

namespace {

void MarkReturned(MIDIHDR* pHdr) {
    pHdr->dwFlags = (pHdr->dwFlags | MHDR_DONE) & ~static_cast<DWORD>(MHDR_INQUEUE);
}

}  // namespace

// An empty buffer is refused: the parser stores a byte before it tests for a
// full buffer. Refusals leave the header untouched.
DWORD midAddBuffer(HardwareInstance* pInstance, InputClient* pClient, MIDIHDR* pHdr) {
    if (pHdr == nullptr) return MMSYSERR_INVALPARAM;
    if (!(pHdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (pHdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    if (pHdr->dwBufferLength == 0 || pHdr->lpData == nullptr) return MMSYSERR_INVALPARAM;
    pHdr->dwFlags = (pHdr->dwFlags | MHDR_INQUEUE) & ~static_cast<DWORD>(MHDR_DONE);
    pHdr->dwBytesRecorded = 0;
    pHdr->lpNext = nullptr;

    // The drain may be filling the queue's head meanwhile.
    CriticalSection(kCsEnter, pInstance);
    MIDIHDR** ppLink = &pClient->pQueue;
    while (*ppLink != nullptr)
        ppLink = &(*ppLink)->lpNext;
    *ppLink = pHdr;
    CriticalSection(kCsLeave, pInstance);
    return MMSYSERR_NOERROR;
}

// Called on a stopped client only: every buffer comes back empty, in queue
// order, all with one timestamp.
void midFreeQ(InputClient* pClient) {
    MIDIHDR* pHdr = pClient->pQueue;
    pClient->pQueue = nullptr;
    pClient->cbLong = 0;
    DWORD t = timeGetTime() - pClient->dwStartTime;
    while (pHdr != nullptr) {
        MIDIHDR* pNextHdr = pHdr->lpNext;
        MarkReturned(pHdr);
        pHdr->dwBytesRecorded = 0;
        midiCallback(pClient, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(pHdr), t);
        pHdr = pNextHdr;
    }
}

// Returns the head buffer when it holds part of an exclusive message; the
// rest of the queue stays.
void midSendPartBuffer(InputClient* pClient) {
    MIDIHDR* pHdr = pClient->pQueue;
    if (pHdr == nullptr || pClient->cbLong == 0) return;
    pClient->pQueue = pHdr->lpNext;
    MarkReturned(pHdr);
    pHdr->dwBytesRecorded = pClient->cbLong;
    pClient->cbLong = 0;
    midiCallback(pClient, MIM_LONGERROR, reinterpret_cast<DWORD_PTR>(pHdr), pClient->dwMsgTime);
}
