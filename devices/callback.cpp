// The one routine through which every part of the driver notifies a client,
// and the filling of what it reads at open.
#include "devices/devices.h"

void midiCallback(ClientHeader* pClient, WORD uMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
    DWORD dwType = pClient->dwFlags >> 16;
    if (dwType == 0) return;  // the client asked for no notification
    DriverCallback(pClient->dwCallback, dwType, reinterpret_cast<HDRVR>(pClient->hMidi),
                   static_cast<DWORD>(uMsg), pClient->dwInstance, dwParam1, dwParam2);
}

void midiSetClientHeader(ClientHeader* pClient, HardwareInstance* pInstance,
                         const MIDIOPENDESC* pDesc, DWORD dwOpenFlags) {
    pClient->pInstance = pInstance;
    pClient->hMidi = pDesc->hMidi;
    pClient->dwCallback = pDesc->dwCallback;
    pClient->dwInstance = pDesc->dwInstance;
    pClient->dwFlags = dwOpenFlags;
}
