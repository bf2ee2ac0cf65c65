// The texts of the MIDI result codes, for midiOutGetErrorText and
// midiInGetErrorText in both character widths.
#include <cstring>

#include "host/mm/layer.h"

namespace {

const char* TextOf(MMRESULT r) {
    switch (r) {
        case MMSYSERR_NOERROR:
            return "The specified command was carried out.";
        case MMSYSERR_ERROR:
            return "Undefined external error.";
        case MMSYSERR_BADDEVICEID:
            return "A device ID has been used that is out of range for your system.";
        case MMSYSERR_NOTENABLED:
            return "The driver was not enabled.";
        case MMSYSERR_ALLOCATED:
            return "The specified device is already in use.";
        case MMSYSERR_INVALHANDLE:
            return "The specified device handle is invalid.";
        case MMSYSERR_NODRIVER:
            return "There is no driver installed on your system.";
        case MMSYSERR_NOMEM:
            return "There is not enough memory available for this task.";
        case MMSYSERR_NOTSUPPORTED:
            return "This function is not supported. Use the Capabilities function to determine "
                   "which functions and messages the driver supports.";
        case MMSYSERR_BADERRNUM:
            return "An error number was specified that is not defined in the system.";
        case MMSYSERR_INVALFLAG:
            return "An invalid flag was passed to a system function.";
        case MMSYSERR_INVALPARAM:
            return "An invalid parameter was passed to a system function.";
        case MMSYSERR_HANDLEBUSY:
            return "The handle is being used simultaneously on another thread.";
        case MMSYSERR_INVALIDALIAS:
            return "The specified alias was not found.";
        case MMSYSERR_BADDB:
            return "The registry database is corrupt.";
        case MMSYSERR_KEYNOTFOUND:
            return "The specified registry key was not found.";
        case MMSYSERR_READERROR:
            return "The registry could not be read.";
        case MMSYSERR_WRITEERROR:
            return "The registry could not be written.";
        case MMSYSERR_DELETEERROR:
            return "The registry could not be deleted.";
        case MMSYSERR_VALNOTFOUND:
            return "The specified registry value was not found.";
        case MMSYSERR_NODRIVERCB:
            return "The driver did not generate a valid callback.";
        case MMSYSERR_MOREDATA:
            return "There is more data to be returned.";
        case MIDIERR_UNPREPARED:
            return "The MIDI header was not prepared. Use the Prepare function to prepare the "
                   "header, and then try again.";
        case MIDIERR_STILLPLAYING:
            return "Cannot perform this operation while media data is still playing. Reset the "
                   "device, or wait until the data is finished playing.";
        case MIDIERR_NOMAP:
            return "A MIDI map was not found.";
        case MIDIERR_NOTREADY:
            return "The port is transmitting data to the device. Wait until the data has been "
                   "transmitted, and then try again.";
        case MIDIERR_NODEVICE:
            return "The MIDI setup refers to a MIDI device that is not installed on the system.";
        case MIDIERR_INVALIDSETUP:
            return "The MIDI setup is damaged.";
        case MIDIERR_BADOPENMODE:
            return "The operation is not supported in this open mode.";
        case MIDIERR_DONT_CONTINUE:
            return "The message was taken; do not pass it on.";
        default:
            return nullptr;
    }
}

// Copies as much of the text as fits, always terminated. A null buffer is
// refused and an empty one is left alone, as winmm does; an unknown code
// answers MMSYSERR_BADERRNUM with nothing written.
template <typename Char>
MMRESULT CopyText(MMRESULT r, Char* pszText, UINT cchText) {
    if (!pszText) return MMSYSERR_INVALPARAM;
    if (cchText == 0) return MMSYSERR_NOERROR;
    const char* text = TextOf(r);
    if (!text) return MMSYSERR_BADERRNUM;
    size_t n = std::strlen(text);
    if (n > cchText - 1) n = cchText - 1;
    for (size_t i = 0; i < n; ++i)
        pszText[i] = static_cast<Char>(text[i]);
    pszText[n] = 0;
    return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" {

MMRESULT WINAPI midiOutGetErrorTextW(MMRESULT mmrError, LPWSTR pszText, UINT cchText) {
    return CopyText(mmrError, pszText, cchText);
}
MMRESULT WINAPI midiOutGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText) {
    return CopyText(mmrError, pszText, cchText);
}
MMRESULT WINAPI midiInGetErrorTextW(MMRESULT mmrError, LPWSTR pszText, UINT cchText) {
    return CopyText(mmrError, pszText, cchText);
}
MMRESULT WINAPI midiInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText) {
    return CopyText(mmrError, pszText, cchText);
}
}
