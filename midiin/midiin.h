// MIDI input: the input message entry (midMessage), input handles with their
// client lists, buffer queues and timers, and the periodic drain of the input
// ring with its byte parser.
#pragma once

#include "include/veltrane.h"

constexpr BYTE kInStarted = 2;  // bit of bState: receiving

// One open input handle. Its address is the handle's driver data (dwUser).
struct InputClient : ClientHeader {
    BYTE fInSysex;        // inside a system-exclusive message
    BYTE bRunningStatus;  // channel status in force, 0 none
    BYTE bRemaining;      // data bytes still missing from the message assembled
    BYTE bIndex;          // where the next data byte goes (1 or 2); 0 none assembled
    BYTE abShortMsg[4];   // the message assembled; read as a little-endian word
    DWORD dwMsgTime;      // time of the message being received, ms since dwStartTime
    DWORD dwStartTime;    // timeGetTime at open and at every start
    DWORD cbLong;         // bytes stored in the head buffer
    MIDIHDR* pQueue;      // queued buffers, linked through lpNext
    BYTE bState;          // kInStarted
    UINT uTimerId;        // 0 = no timer
    UINT uTimerRes;       // resolution given to timeBeginPeriod
    InputClient* pNext;   // next client of the same port
};

DWORD midOpen(UINT port, HardwareInstance* pInstance, DWORD_PTR* pdwUser, MIDIOPENDESC* pDesc,
              DWORD dwFlags);
DWORD midClose(UINT port, InputClient* pClient);
BOOL midAddClient(HardwareInstance* pInstance, InputClient* pClient, UINT port);
void midRemoveClient(HardwareInstance* pInstance, InputClient* pClient, UINT port);
void midStart(InputClient* pClient);
void midStop(InputClient* pClient);
DWORD midAddBuffer(HardwareInstance* pInstance, InputClient* pClient, MIDIHDR* pHdr);
void midFreeQ(InputClient* pClient);
void midSendPartBuffer(InputClient* pClient);
BOOL mmTimerEnable(InputClient* pClient);
void mmTimerDisable(InputClient* pClient);
void CALLBACK mmTimerIntr(UINT uTimerID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
void midByteRec(DWORD port, HardwareInstance* pInstance, DWORD dwByte);
void midBufferWrite(InputClient* pClient, BYTE bByte);
// Stops the timers of every input client of an instance that is going away
// while clients are still open, so no drain runs on freed memory.
void midDisableInstanceTimers(HardwareInstance* pInstance);
