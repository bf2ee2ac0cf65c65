// Which interfaces are present, and how platform device IDs map onto them:
// each present interface gives two ports each way, numbered in ascending
// device-node order.
#include "devices/devices.h"

WORD gwNumInstances = 0;
const WCHAR szDevicePathTemplate[] = VT_TEXT("\\\\.\\veltrane-Z");

void SetDevicePath(HardwareInstance* pInstance) {
    lstrcpyW(pInstance->szDevicePath, szDevicePathTemplate);
    WCHAR* pchNode = wcschr(pInstance->szDevicePath, VT_TEXT('Z'));
    if (pchNode != nullptr) *pchNode = static_cast<WCHAR>(VT_TEXT('0') + pInstance->dwDevNode);
}

// The count is published in one store, when it is complete: a thread that
// reads it meanwhile sees the last probe's count, never a partial one.
WORD NTGetNumberInstances() {
    WORD wCount = 0;
    for (DWORD dwNode = 0; dwNode < kDevNodes; ++dwNode) {
        HardwareInstance* pInstance = DevNodeToHardwareInstance(dwNode);
        if (pInstance == nullptr) continue;  // its allocation failed at enable
        HANDLE hFile =
            CreateFileW(pInstance->szDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (hFile != INVALID_HANDLE_VALUE) {
            wCount++;
            pInstance->fPresent = 1;
            CloseHandle(hFile);
        } else {
            pInstance->fPresent = 0;
        }
    }
    gwNumInstances = wCount;
    return wCount;
}

// Outputs and inputs are numbered alike: ID / 2 picks the present instance in
// ascending node order, ID & 1 the port.
static HardwareInstance* DevIdToHwInstance(UINT uDeviceID) {
    if (uDeviceID >= 2u * gwNumInstances) return nullptr;
    for (DWORD dwNode = 0; dwNode < kDevNodes; ++dwNode) {
        HardwareInstance* pInstance = DevNodeToHardwareInstance(dwNode);
        if (pInstance == nullptr || !pInstance->fPresent) continue;
        if (uDeviceID < 2) return pInstance;
        uDeviceID -= 2;
    }
    return nullptr;
}

DWORD midiCheckDeviceId(UINT uDeviceID, HardwareInstance** ppInstance) {
    HardwareInstance* pInstance = DevIdToHwInstance(uDeviceID);
    if (pInstance == nullptr) return MMSYSERR_BADDEVICEID;
    if (pInstance->fEnabled == 0) return MMSYSERR_NOTENABLED;
    *ppInstance = pInstance;
    return MMSYSERR_NOERROR;
}

HardwareInstance* modDevIdToHwInstance(UINT uDeviceID) {
    return DevIdToHwInstance(uDeviceID);
}
HardwareInstance* midDevIdToHwInstance(UINT uDeviceID) {
    return DevIdToHwInstance(uDeviceID);
}

// The list runs from node 7 down to 0, so this counts the present instances
// with a higher node: the digit in a port's name.
WORD DeviceIDFromDevNode(DWORD dwDevNode) {
    WORD wCount = 0;
    for (HardwareInstance* p = pHardwareList; p != nullptr; p = p->pNext) {
        if (p->dwDevNode == dwDevNode) return wCount;
        if (p->fPresent) wCount++;
    }
    return 0xFFFF;
}
