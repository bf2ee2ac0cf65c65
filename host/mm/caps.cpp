// The capability calls in both text widths. The driver fills its record with
// a 16-bit name; the caller gets Windows' ...A record (the name in the ANSI
// code page, UTF-8 here) or its ...W record (the name in WCHAR), as much of it
// as the size it gives takes, as winmm copies.
#include <algorithm>
#include <cstring>

#include "host/mm/layer.h"
#include "host/mm/utf.h"

namespace {

// The name as narrow text: UTF-8, cut at a character so that it fits with
// its terminator.
void CopyName(const VT_CHAR16* src, CHAR* dst) {
    size_t out = 0;
    for (size_t i = 0; i < MAXPNAMELEN && src[i];) {
        vtmm::utf::Char ch = vtmm::utf::ReadWide(src + i, MAXPNAMELEN - i);
        size_t n = vtmm::utf::Utf8Length(ch.c);
        if (out + n > MAXPNAMELEN - 1) break;
        vtmm::utf::WriteUtf8(ch.c, dst + out);
        out += n;
        i += ch.cUnits;
    }
    dst[out] = 0;
}

// The name as wide text: one WCHAR a character.
void CopyName(const VT_CHAR16* src, WCHAR* dst) {
    size_t out = 0;
    for (size_t i = 0; i < MAXPNAMELEN && src[i];) {
        vtmm::utf::Char ch = vtmm::utf::ReadWide(src + i, MAXPNAMELEN - i);
        dst[out++] = static_cast<WCHAR>(ch.c);
        i += ch.cUnits;
    }
    dst[out] = 0;
}

// The fields both directions have, whatever the record's text width.
template <typename From, typename To>
void FillCommon(const From& from, To* to) {
    to->wMid = from.wMid;
    to->wPid = from.wPid;
    to->vDriverVersion = from.vDriverVersion;
    CopyName(from.szPname, to->szPname);
    to->dwSupport = from.dwSupport;
}

template <typename Caps>
void FillOut(const VtMidiOutCaps16& from, Caps* to) {
    FillCommon(from, to);
    to->wTechnology = from.wTechnology;
    to->wVoices = from.wVoices;
    to->wNotes = from.wNotes;
    to->wChannelMask = from.wChannelMask;
}

// The device a capability call means: an open handle of the direction, cast,
// stands for the device it was opened on.
UINT DeviceOf(UINT_PTR uDeviceID, bool fOutput) {
    const void* h = reinterpret_cast<const void*>(uDeviceID);
    const vtmm::Handle* p = fOutput ? vtmm::FindOutput(h) : vtmm::FindHandle(h, vtmm::kInMagic);
    return p ? p->uDeviceID : static_cast<UINT>(uDeviceID);
}

// Asks the driver for its whole record, then hands the caller what fits.
template <typename Caps, typename Record16, typename Fill>
MMRESULT GetCaps(UINT_PTR uDeviceID, Caps* pCaps, UINT cbCaps, bool fOutput, Fill fill) {
    if (!pCaps) return MMSYSERR_INVALPARAM;
    UINT id = DeviceOf(uDeviceID, fOutput);
    if (id == MIDI_MAPPER) return MMSYSERR_BADDEVICEID;  // no mapper is installed
    if (MMRESULT r = vtmm::EnsureDriver()) return r;
    Record16 driverCaps{};
    auto dwRecord = reinterpret_cast<DWORD_PTR>(&driverCaps);
    DWORD r = fOutput ? vtmm::ModMessage(id, MODM_GETDEVCAPS, 0, dwRecord, sizeof driverCaps)
                      : vtmm::MidMessage(id, MIDM_GETDEVCAPS, 0, dwRecord, sizeof driverCaps);
    if (r != MMSYSERR_NOERROR) return r;
    Caps caps{};
    fill(driverCaps, &caps);
    std::memcpy(pCaps, &caps, std::min<size_t>(cbCaps, sizeof caps));
    return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" {

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR uDeviceID, LPMIDIOUTCAPSA pmoc, UINT cbmoc) {
    return GetCaps<MIDIOUTCAPSA, VtMidiOutCaps16>(uDeviceID, pmoc, cbmoc, true,
                                                  FillOut<MIDIOUTCAPSA>);
}

MMRESULT WINAPI midiOutGetDevCapsW(UINT_PTR uDeviceID, LPMIDIOUTCAPSW pmoc, UINT cbmoc) {
    return GetCaps<MIDIOUTCAPSW, VtMidiOutCaps16>(uDeviceID, pmoc, cbmoc, true,
                                                  FillOut<MIDIOUTCAPSW>);
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR uDeviceID, LPMIDIINCAPSA pmic, UINT cbmic) {
    return GetCaps<MIDIINCAPSA, VtMidiInCaps16>(uDeviceID, pmic, cbmic, false,
                                                FillCommon<VtMidiInCaps16, MIDIINCAPSA>);
}

MMRESULT WINAPI midiInGetDevCapsW(UINT_PTR uDeviceID, LPMIDIINCAPSW pmic, UINT cbmic) {
    return GetCaps<MIDIINCAPSW, VtMidiInCaps16>(uDeviceID, pmic, cbmic, false,
                                                FillCommon<VtMidiInCaps16, MIDIINCAPSW>);
}

}  // extern "C"
