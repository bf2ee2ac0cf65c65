// MIDI input: the input message entry (midMessage), input handles with their
// client lists and started state, their buffer queues and timers, and the
// periodic drain of the input ring with its byte parser.
//
// Used by driver/ (the lifecycle stops the timers of an instance that goes
// away) and, within midiin/, from file to file; nothing else of the driver.
#pragma once

#include "include/veltrane.h"

constexpr BYTE kInStarted = 2;  // bit of bState: receiving

// One open input handle. Its address is the handle's driver data (dwUser).
//
// "The started bit" guards the parse state, cbLong and dwStartTime: while the
// bit is set only the drain touches them (on the timer thread, under the named
// mutex); while it is clear only the handle's own calls do (open, start, stop,
// reset), without the mutex. The bit itself changes under the mutex. The other
// guards are those named above HardwareInstance (include/veltrane.h).
struct InputClient : ClientHeader {
    BYTE fInSysex;        // inside a system-exclusive message; the started bit
    BYTE bRunningStatus;  // channel status in force, 0 none; the started bit
    BYTE bRemaining;      // data bytes still missing from the message assembled; the started bit
    BYTE bIndex;          // where the next data byte goes (1, 2), 0 none assembled; the started bit
    BYTE abShortMsg[4];   // the message assembled, read as a little-endian word; the started bit
    DWORD dwMsgTime;      // time of the message under way, ms since dwStartTime; the started bit
    DWORD dwStartTime;    // timeGetTime at open and at every start; the started bit
    DWORD cbLong;         // bytes stored in the head buffer; the started bit
    // Queued buffers, linked through lpNext. Appended under the named mutex; the
    // drain takes the head under it while started; stop and reset take buffers
    // back without it while stopped; MIDM_CLOSE reads it without it.
    MIDIHDR* pQueue;
    BYTE bState;  // kInStarted; written under the named mutex by the handle's own calls
    // The client's timer, 0 none. Open and close; the lifecycle stops it when the
    // instance goes away while the handle is open.
    UINT uTimerId;
    UINT uTimerRes;      // resolution given to timeBeginPeriod; set at open, read-only after
    InputClient* pNext;  // next client of the same port; the named mutex
};

// ---- entry (entry.cpp; called by the multimedia layer through the exports).
extern "C" DWORD APIENTRY midMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser,
                                     DWORD_PTR dwParam1, DWORD_PTR dwParam2);

// ---- handles (handles.cpp; used by the entry). Open and close, the per-port
// client lists (changed under the named mutex), and the started bit.
DWORD midOpen(UINT port, HardwareInstance* pInstance, DWORD_PTR* pdwUser, MIDIOPENDESC* pDesc,
              DWORD dwFlags);
DWORD midClose(UINT port, InputClient* pClient);
BOOL midAddClient(HardwareInstance* pInstance, InputClient* pClient, UINT port);
void midRemoveClient(HardwareInstance* pInstance, InputClient* pClient, UINT port);
void midStart(InputClient* pClient);
void midStop(InputClient* pClient);

// ---- buffer queue (buffers.cpp; used by the entry, the handles and the parser).
DWORD midAddBuffer(HardwareInstance* pInstance, InputClient* pClient, MIDIHDR* pHdr);
void midFreeQ(InputClient* pClient);
void midSendPartBuffer(InputClient* pClient);

// ---- timers (timer.cpp; used by the handles and by driver/'s lifecycle).
BOOL mmTimerEnable(InputClient* pClient);
void mmTimerDisable(InputClient* pClient);
// Stops the timers of every input client of an instance that is going away
// while clients are still open, so no drain runs on freed memory.
void midDisableInstanceTimers(HardwareInstance* pInstance);

// ---- drain and parse (drain.cpp, parse.cpp; run by the timers).
void CALLBACK mmTimerIntr(UINT uTimerID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
void midByteRec(DWORD port, HardwareInstance* pInstance, DWORD dwByte);
void midBufferWrite(InputClient* pClient, BYTE bByte);
