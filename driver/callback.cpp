// The one routine through which every part of the driver notifies a client.
#include "driver/driver.h"

void midiCallback(ClientHeader* pClient, WORD uMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
    DWORD dwType = pClient->dwFlags >> 16;
    if (dwType == 0) return;  // the client asked for no notification
    DriverCallback(pClient->dwCallback, dwType, reinterpret_cast<HDRVR>(pClient->hMidi),
                   static_cast<DWORD>(uMsg), pClient->dwInstance, dwParam1, dwParam2);
}
