// The per-process list of hardware instances, one per device node, running
// from the most recently added node to the first.
#include "devices/devices.h"

HardwareInstance* pHardwareList = nullptr;

HardwareInstance* DevNodeToHardwareInstance(DWORD dwDevNode) {
    for (HardwareInstance* p = pHardwareList; p != nullptr; p = p->pNext)
        if (p->dwDevNode == dwDevNode) return p;
    return nullptr;
}

HardwareInstance* AddInstance(HardwareInstance* pInstance) {
    pInstance->pNext = pHardwareList;
    pHardwareList = pInstance;
    return pInstance;
}

void RemoveInstance(HardwareInstance* pInstance) {
    for (HardwareInstance** pp = &pHardwareList; *pp != nullptr; pp = &(*pp)->pNext) {
        if (*pp == pInstance) {
            *pp = pInstance->pNext;
            return;
        }
    }
}
