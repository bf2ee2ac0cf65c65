// The filling of what midiCallback (devices.h) reads at open.
#include "devices/devices.h"

void midiSetClientHeader(ClientHeader* pClient, HardwareInstance* pInstance,
                         const MIDIOPENDESC* pDesc, DWORD dwOpenFlags) {
    pClient->pInstance = pInstance;
    pClient->hMidi = pDesc->hMidi;
    pClient->dwCallback = pDesc->dwCallback;
    pClient->dwInstance = pDesc->dwInstance;
    pClient->dwFlags = dwOpenFlags;
}
