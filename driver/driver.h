// The driver core: the three exported entry points, the per-process instance
// registry, client notification, the probe of the device files, the mapping
// of device IDs to instances and ports, and the capability records.
#pragma once

#include "include/veltrane.h"

extern "C" {
BOOL WINAPI DllEntryPoint(HINSTANCE hModule, DWORD dwReason, LPVOID pReserved);
LRESULT CALLBACK DriverProc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1,
                            LPARAM lParam2);
DWORD APIENTRY modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                          DWORD_PTR dwParam2);
DWORD APIENTRY midMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                          DWORD_PTR dwParam2);
}

// ---- registry (registry.cpp)
extern HardwareInstance* pHardwareList;
DWORD DrvInit();
void DrvEnd();
DWORD AddDevNode(DWORD dwDevNode);
DWORD EnableDevNode(DWORD dwDevNode, DWORD dwReserved);
DWORD DisableDevNode(DWORD dwDevNode);
DWORD RemoveDevNode(DWORD dwDevNode);
HardwareInstance* DevNodeToHardwareInstance(DWORD dwDevNode);
HardwareInstance* AddInstance(HardwareInstance* pInstance);
void RemoveInstance(HardwareInstance* pInstance);

// ---- notification (callback.cpp)
void midiCallback(ClientHeader* pClient, WORD uMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2);
// Fills the fields midiCallback reads from what the open was given; the
// fields behind the header are the caller's.
void midiSetClientHeader(ClientHeader* pClient, HardwareInstance* pInstance,
                         const MIDIOPENDESC* pDesc, DWORD dwOpenFlags);

// ---- enumeration and capabilities (enumerate.cpp, caps.cpp)
extern WORD gwNumInstances;
extern const WCHAR szDevicePathTemplate[];
WORD NTGetNumberInstances();
HardwareInstance* modDevIdToHwInstance(UINT uDeviceID);
HardwareInstance* midDevIdToHwInstance(UINT uDeviceID);
WORD DeviceIDFromDevNode(DWORD dwDevNode);
void modGetDevCaps(UINT port, HardwareInstance* pInstance, void* pCaps, DWORD cbCaps);
void midGetDevCaps(UINT port, HardwareInstance* pInstance, void* pCaps, DWORD cbCaps);
