// MIDI output: the output message entry (modMessage) with the send guard, the
// open and close of output handles, and the encoding of short messages, long
// data and resets into packets of the port's shared ring, with running status.
//
// Used by driver/ for the export's declaration, and within midiout/ from file
// to file; nothing else of the driver.
#pragma once

#include "include/veltrane.h"

// One open output handle. Its address is the handle's driver data (dwUser).
struct OutputClient : ClientHeader {
    // The last channel status this handle sent, 0 none. The send guard; 0 at open.
    BYTE bRunningStatus;
    BYTE bPort;  // 0 port A, 1 port B; set at open, read-only after
    // 1 once a close of this handle has begun: a second close is refused
    // rather than run again on a record about to be freed. Interlocked.
    LONG volatile fClosing;
};

// How long long data waits on a ring that frees no slot before it gives up.
constexpr DWORD kLongDataStallMs = 1000;

// ---- entry (entry.cpp; called by the multimedia layer through the exports).
extern "C" DWORD APIENTRY modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser,
                                     DWORD_PTR dwParam1, DWORD_PTR dwParam2);

// ---- handles (handles.cpp; used by the entry).
DWORD modOpen(UINT port, HardwareInstance* pInstance, DWORD_PTR* pdwUser, MIDIOPENDESC* pDesc,
              DWORD dwOpenFlags);
// Answers MMSYSERR_INVALHANDLE, and does nothing, when the handle's close is
// already under way (as from inside its own MOM_CLOSE).
DWORD modClose(OutputClient* pClient);

// ---- encoding (encode.cpp; used by the entry inside the send guard).
DWORD modSendShortMsg(UINT port, OutputClient* pClient, DWORD dwMsg);
DWORD modSendLongData(UINT port, OutputClient* pClient, MIDIHDR* pHdr);
DWORD modSendData(UINT port, OutputClient* pClient, const BYTE* pData, DWORD cbData);
void modReset(UINT port, OutputClient* pClient);
DWORD modLoadMidiData2FIFO(HardwareInstance* pInstance, PortStream* pStream, DWORD dwData,
                           BYTE cBytes);
