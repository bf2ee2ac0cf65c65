// What both directions stand on: the per-process list of hardware instances,
// which of them are present and how device IDs map onto them, the one device
// test of the device messages, the capability records and port names, client
// notification, and the length of MIDI messages by status.
//
// Used by midiin/ and midiout/ (their entries and encoding/parsing) and by
// driver/ (the instance lifecycle); it calls nothing above itself.
#pragma once

#include "include/veltrane.h"

// ---- instance list (instances.cpp; the lifecycle in driver/ adds and removes,
// every floor looks up). The list changes only in the lifecycle (DRV_ENABLE,
// DRV_DISABLE); lookups read it without a lock.
extern HardwareInstance* pHardwareList;
HardwareInstance* DevNodeToHardwareInstance(DWORD dwDevNode);
HardwareInstance* AddInstance(HardwareInstance* pInstance);
void RemoveInstance(HardwareInstance* pInstance);

// ---- enumeration and device IDs (enumerate.cpp; used by both entries and by
// the port names, and by the lifecycle for the device path). NTGetNumberInstances
// probes the device files and sets each instance's fPresent, then
// gwNumInstances in one store, on any application thread and without a lock
// (the last probe wins); the mappings answer from the last probe. Outputs and
// inputs are numbered alike: two ports a present instance, in ascending
// device-node order. Only the device messages (capabilities, open) look at
// device IDs: a message on an open handle acts on that handle's record.
extern WORD gwNumInstances;
extern const WCHAR szDevicePathTemplate[];
// Writes the instance's device path from the template: once, at creation.
void SetDevicePath(HardwareInstance* pInstance);
WORD NTGetNumberInstances();
HardwareInstance* modDevIdToHwInstance(UINT uDeviceID);
HardwareInstance* midDevIdToHwInstance(UINT uDeviceID);
WORD DeviceIDFromDevNode(DWORD dwDevNode);
// The device test of MODM_GETDEVCAPS, MODM_OPEN, MIDM_GETDEVCAPS and
// MIDM_OPEN, against the last probe: MMSYSERR_BADDEVICEID for an ID out of
// range or without an instance, MMSYSERR_NOTENABLED for a disabled instance,
// MMSYSERR_NOERROR with *ppInstance set otherwise.
DWORD midiCheckDeviceId(UINT uDeviceID, HardwareInstance** ppInstance);

// ---- capabilities (caps.cpp; used by the GETDEVCAPS messages of the entries).
// Copies at most cbCaps bytes of the port's record to pCaps.
void modGetDevCaps(UINT port, HardwareInstance* pInstance, void* pCaps, DWORD cbCaps);
void midGetDevCaps(UINT port, HardwareInstance* pInstance, void* pCaps, DWORD cbCaps);

// ---- client notification (here and callback.cpp; used by every open, close,
// buffer return and input message of both directions). The one routine
// through which every part of the driver notifies a client; inline, as the
// input drain calls it for every message.
inline void midiCallback(ClientHeader* pClient, WORD uMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
    DWORD dwType = pClient->dwFlags >> 16;
    if (dwType == 0) return;  // the client asked for no notification
    DriverCallback(pClient->dwCallback, dwType, reinterpret_cast<HDRVR>(pClient->hMidi),
                   static_cast<DWORD>(uMsg), pClient->dwInstance, dwParam1, dwParam2);
}
// Fills the fields midiCallback reads from what the open was given; the
// fields behind the header are the caller's.
void midiSetClientHeader(ClientHeader* pClient, HardwareInstance* pInstance,
                         const MIDIOPENDESC* pDesc, DWORD dwOpenFlags);

// ---- message lengths (message_length.cpp; the output encoding reads both,
// the input parser the channel table).
// Length of a channel message, status included, by (status >> 4) - 8.
extern const BYTE gabMsgLenChannel[8];
// Length of a system message by status - 0xF0.
extern const BYTE gabMsgLenSystem[16];
