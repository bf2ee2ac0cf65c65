// MIDIHDR preparation and the checks both directions make on headers and on
// open flags.
#include "host/mm/layer.h"

namespace vtmm {
namespace {

bool HeaderUsable(LPMIDIHDR pmh, UINT cbmh) {
    if (!pmh || cbmh < kMinHeaderSize) return false;
    // The driver reads and writes lpData for dwBufferLength bytes.
    return pmh->lpData || pmh->dwBufferLength == 0;
}

DWORD Send(bool fInput, Handle* pHandle, UINT uMsg, LPMIDIHDR pmh, UINT cbmh) {
    auto dwHdr = reinterpret_cast<DWORD_PTR>(pmh);
    return fInput ? MidMessage(pHandle->uDeviceID, uMsg, pHandle->dwDriverUser, dwHdr, cbmh)
                  : ModMessage(pHandle->uDeviceID, uMsg, pHandle->dwDriverUser, dwHdr, cbmh);
}

}  // namespace

MMRESULT PrepareHeader(bool fInput, Handle* pHandle, LPMIDIHDR pmh, UINT cbmh) {
    if (!HeaderUsable(pmh, cbmh)) return MMSYSERR_INVALPARAM;
    if (pmh->dwFlags & MHDR_PREPARED) return MMSYSERR_NOERROR;
    DWORD r = Send(fInput, pHandle, fInput ? MIDM_PREPARE : MODM_PREPARE, pmh, cbmh);
    if (r != MMSYSERR_NOTSUPPORTED) return r;
    pmh->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT UnprepareHeader(bool fInput, Handle* pHandle, LPMIDIHDR pmh, UINT cbmh) {
    if (!pmh || cbmh < kMinHeaderSize) return MMSYSERR_INVALPARAM;
    if (!(pmh->dwFlags & MHDR_PREPARED)) return MMSYSERR_NOERROR;
    if (pmh->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    DWORD r = Send(fInput, pHandle, fInput ? MIDM_UNPREPARE : MODM_UNPREPARE, pmh, cbmh);
    if (r != MMSYSERR_NOTSUPPORTED) return r;
    pmh->dwFlags &= ~static_cast<DWORD>(MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT CheckDataHeader(LPMIDIHDR pmh, UINT cbmh) {
    if (!HeaderUsable(pmh, cbmh)) return MMSYSERR_INVALPARAM;
    if (!(pmh->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (pmh->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    return MMSYSERR_NOERROR;
}

MMRESULT CheckCallbackFlags(DWORD fdwOpen) {
    switch (fdwOpen & CALLBACK_TYPEMASK) {
        case CALLBACK_NULL:
        case CALLBACK_FUNCTION:
        case CALLBACK_EVENT:
            return MMSYSERR_NOERROR;
        default:  // windows and threads have no message queues here
            return MMSYSERR_INVALFLAG;
    }
}

}  // namespace vtmm
