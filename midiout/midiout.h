// MIDI output: the output message entry (modMessage), the open and close of
// output handles, and the encoding of short messages, long data and resets
// into packets of the port's shared ring, with running status.
#pragma once

#include "include/veltrane.h"

// One open output handle. Its address is the handle's driver data (dwUser).
struct OutputClient : ClientHeader {
    BYTE bRunningStatus;  // last channel status this handle sent, 0 none
};

// Length of a system message by status - 0xF0.
extern const BYTE gabMsgLenSystem[16];

// How long long data waits on a ring that frees no slot before it gives up.
constexpr DWORD kLongDataStallMs = 1000;

DWORD modOpen(UINT port, HardwareInstance* pInstance, DWORD_PTR* pdwUser, MIDIOPENDESC* pDesc,
              DWORD dwOpenFlags);
void modClose(UINT port, OutputClient* pClient);

DWORD modSendShortMsg(UINT port, OutputClient* pClient, DWORD dwMsg);
DWORD modSendLongData(UINT port, OutputClient* pClient, MIDIHDR* pHdr);
DWORD modSendData(UINT port, OutputClient* pClient, const BYTE* pData, DWORD cbData);
void modReset(UINT port, OutputClient* pClient);
DWORD modLoadMidiData2FIFO(HardwareInstance* pInstance, PortStream* pStream, DWORD dwData,
                           BYTE cBytes);
