// The top of the driver: the library's load notification, the driver-level
// messages, and the lifecycle of the hardware instances. It calls down into
// devices/, hwlink/ and midiin/; nothing below includes this header.
//
// The three exported entry points are declared here together (DriverProc here,
// modMessage and midMessage by their directions' headers), for the target glue
// and for whoever calls the driver directly.
#pragma once

#include "include/veltrane.h"
#include "midiin/midiin.h"
#include "midiout/midiout.h"

// ---- entry (entry.cpp; called by the loader through the target glue in
// linux/ and windows/, and by the multimedia layer through the exports).
extern "C" {
BOOL WINAPI DllEntryPoint(HINSTANCE hModule, DWORD dwReason, LPVOID pReserved);
LRESULT CALLBACK DriverProc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1,
                            LPARAM lParam2);
}

// ---- instance lifecycle (lifecycle.cpp; DriverProc runs DrvInit at DRV_ENABLE
// and DrvEnd at DRV_DISABLE). The node counts of an instance (cAdd, cEnable,
// fEnabled) change only here.
DWORD DrvInit();
void DrvEnd();
DWORD AddDevNode(DWORD dwDevNode);
DWORD EnableDevNode(DWORD dwDevNode, DWORD dwReserved);
DWORD DisableDevNode(DWORD dwDevNode);
DWORD RemoveDevNode(DWORD dwDevNode);
