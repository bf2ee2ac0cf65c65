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

}  // namespace

MMRESULT PrepareHeader(const Handle* pHandle, LPMIDIHDR pmh, UINT cbmh) {
    if (!pHandle) return MMSYSERR_INVALHANDLE;
    if (!HeaderUsable(pmh, cbmh)) return MMSYSERR_INVALPARAM;
    if (pmh->dwFlags & MHDR_PREPARED) return MMSYSERR_NOERROR;
    UINT uMsg = pHandle->dwMagic == kInMagic ? MIDM_PREPARE : MODM_PREPARE;
    DWORD r = SendToDriver(pHandle, uMsg, reinterpret_cast<DWORD_PTR>(pmh), cbmh);
    if (r != MMSYSERR_NOTSUPPORTED) return r;
    pmh->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT UnprepareHeader(const Handle* pHandle, LPMIDIHDR pmh, UINT cbmh) {
    if (!pHandle) return MMSYSERR_INVALHANDLE;
    if (!pmh || cbmh < kMinHeaderSize) return MMSYSERR_INVALPARAM;
    if (!(pmh->dwFlags & MHDR_PREPARED)) return MMSYSERR_NOERROR;
    if (pmh->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    UINT uMsg = pHandle->dwMagic == kInMagic ? MIDM_UNPREPARE : MODM_UNPREPARE;
    DWORD r = SendToDriver(pHandle, uMsg, reinterpret_cast<DWORD_PTR>(pmh), cbmh);
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
