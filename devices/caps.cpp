// The capability records of output and input ports, with the ports' names:
// "Out-A Veltrane" with one interface, "Out-A2 Veltrane" and so on with more.
#include <cstring>

#include "devices/devices.h"

// The input record as this driver fills it: everything before dwSupport.
constexpr DWORD kMidiInCapsBytes = 72;
static_assert(offsetof(MIDIINCAPSW, dwSupport) == kMidiInCapsBytes, "input caps layout");
static_assert(sizeof(MIDIOUTCAPSW) == 84, "output caps layout");

// Formats the port name into szPname: the letter of the port, then the digit
// of the instance when more than one interface is present.
static void FormatPortName(const WCHAR* pszFormat, UINT port, HardwareInstance* pInstance,
                           WCHAR* szPname) {
    WORD n = DeviceIDFromDevNode(pInstance->dwDevNode);
    WCHAR szDigit[5] = {};
    WCHAR szLetter[5] = {};
    if (gwNumInstances > 1) wsprintfW(szDigit, VT_TEXT("%c"), VT_TEXT('1') + n);
    wsprintfW(szLetter, VT_TEXT("%c"), VT_TEXT('A') + port);
    WCHAR szName[64] = {};
    wsprintfW(szName, pszFormat, szLetter, szDigit);
    szName[MAXPNAMELEN - 1] = 0;
    lstrcpyW(szPname, szName);
}

void modGetDevCaps(UINT port, HardwareInstance* pInstance, void* pCaps, DWORD cbCaps) {
    MIDIOUTCAPSW caps;
    memset(&caps, 0, sizeof caps);
    caps.wMid = kManufacturerId;
    caps.wPid = kProductId;
    caps.vDriverVersion = vDriverVersion;
    caps.wTechnology = MOD_MIDIPORT;
    caps.wVoices = 0;
    caps.wNotes = 0;
    caps.wChannelMask = 0xFFFF;
    caps.dwSupport = 0;
    FormatPortName(VT_TEXT("Out-%s%s Veltrane"), port, pInstance, caps.szPname);
    memcpy(pCaps, &caps, cbCaps < sizeof caps ? cbCaps : sizeof caps);
}

void midGetDevCaps(UINT port, HardwareInstance* pInstance, void* pCaps, DWORD cbCaps) {
    MIDIINCAPSW caps;
    memset(&caps, 0, sizeof caps);
    caps.wMid = kManufacturerId;
    caps.wPid = kProductId;
    caps.vDriverVersion = vDriverVersion;
    FormatPortName(VT_TEXT("In-%s%s Veltrane"), port, pInstance, caps.szPname);
    memcpy(pCaps, &caps, cbCaps < kMidiInCapsBytes ? cbCaps : kMidiInCapsBytes);
}
