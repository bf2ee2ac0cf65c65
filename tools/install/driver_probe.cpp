// Asking the installed driver itself: loaded as winmm loads it, by its alias,
// and counted among the ports winmm lists.
#include "tools/install/install.h"

#include <mmsystem.h>
#include <mmddk.h>

#include <cwchar>

namespace install {
namespace {

using MessageProc = DWORD(APIENTRY*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// GetProcAddress answers a generic function pointer; void (*)() converts to
// any function type without complaint.
template <typename Fn>
Fn ProcAs(HMODULE hModule, const char* pszName) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, pszName)));
}

bool EndsWithOurName(const WCHAR* pszName) {
    const WCHAR kSuffix[] = L" Veltrane";
    size_t cch = wcsnlen(pszName, MAXPNAMELEN), cchSuffix = wcslen(kSuffix);
    return cch >= cchSuffix && wcsncmp(pszName + cch - cchSuffix, kSuffix, cchSuffix) == 0;
}

}  // namespace

Probe ProbeDriver(const std::wstring& alias) {
    Probe probe;
    // DRV_LOAD, DRV_ENABLE and DRV_OPEN, as winmm sends them.
    HDRVR hDrvr = OpenDriver(alias.c_str(), L"Drivers32", 0);
    if (hDrvr == nullptr) return probe;
    probe.fOpened = true;
    HMODULE hModule = GetDriverModuleHandle(hDrvr);
    if (hModule) {
        WCHAR szModule[MAX_PATH] = {};
        if (GetModuleFileNameW(hModule, szModule, MAX_PATH)) probe.module = szModule;
        auto pfnMod = ProcAs<MessageProc>(hModule, "modMessage");
        auto pfnMid = ProcAs<MessageProc>(hModule, "midMessage");
        probe.fDriverProc = GetProcAddress(hModule, "DriverProc") && pfnMod && pfnMid;
        if (probe.fDriverProc) {
            probe.cOutputs = pfnMod(0, MODM_GETNUMDEVS, 0, 0, 0);
            probe.cInputs = pfnMid(0, MIDM_GETNUMDEVS, 0, 0, 0);
        }
    }
    CloseDriver(hDrvr, 0, 0);
    return probe;
}

void CountListedPorts(UINT* pcOutputs, UINT* pcInputs) {
    *pcOutputs = *pcInputs = 0;
    for (UINT id = 0, n = midiOutGetNumDevs(); id < n; ++id) {
        MIDIOUTCAPSW caps{};
        if (midiOutGetDevCapsW(id, &caps, sizeof caps) == MMSYSERR_NOERROR &&
            EndsWithOurName(caps.szPname))
            ++*pcOutputs;
    }
    for (UINT id = 0, n = midiInGetNumDevs(); id < n; ++id) {
        MIDIINCAPSW caps{};
        if (midiInGetDevCapsW(id, &caps, sizeof caps) == MMSYSERR_NOERROR &&
            EndsWithOurName(caps.szPname))
            ++*pcInputs;
    }
}

}  // namespace install
