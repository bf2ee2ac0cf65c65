// MIDI input: the input message entry (midMessage), input handles with their
// client lists and started state, their buffer queues and timers, and the
// periodic drain of the input ring with its byte parser.
//
// Used by driver/ (the lifecycle stops the timers of an instance that goes
// away) and, within midiin/, from file to file; nothing else of the driver.
#pragma once

#include "include/veltrane.h"

constexpr BYTE kInStarted = 2;  // bit of bState: receiving

// A notification the drain recorded for a client under the named mutex, to be
// delivered once the mutex is given back: no application is called back
// while it is held. wPos is where in the drain's batch the byte that made it
// lies.
struct MidiNotice {
    DWORD_PTR dwParam1;
    DWORD dwParam2;
    WORD uMsg;
    WORD wPos;
};
// Room for a client's short notifications (MIM_DATA, MIM_ERROR) of the parse
// rounds: the client stops parsing when fewer than two are free (one byte
// makes at most two), and goes on once they are delivered.
constexpr DWORD kPendingSlots = 256;
// Room for a client's returned buffers waiting for delivery. A client parses
// no byte that needs a buffer while it has notifications waiting, so it
// never has more than one.
constexpr DWORD kNoticeSlots = 4;

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
    BYTE bPort;          // 0 input A, 1 input B; set at open, read-only after
    // 1 once a close of this handle has begun: a second close is refused.
    // Interlocked.
    LONG volatile fClosing;
    // Short notifications of the parse rounds waiting for delivery, in order,
    // the oldest at iPending, after the returned buffers. The drain alone (one
    // tick at a time): recorded while it parses under the named mutex,
    // delivered without it. A stop or close elsewhere never touches them: it
    // counts in cStops, and the drain then drops them.
    MidiNotice aPending[kPendingSlots];
    DWORD iPending;
    DWORD cPending;
    // Returned buffers (MIM_LONGDATA) waiting for delivery, the oldest at
    // iNotice. The named mutex: the drain takes each out under it, and a
    // stop delivers those still waiting itself, before the head buffer it
    // returns.
    MidiNotice aNotices[kNoticeSlots];
    DWORD iNotice;
    DWORD cNotices;
    // The client's place in the drain's batch (dwInBatch of the instance):
    // positions are packet * 4 + byte. How far it has parsed, and up to where
    // all it parsed is settled (its notifications delivered, its bytes in
    // buffers); the byte being parsed. The drain, under the named mutex
    // while the client is started.
    DWORD dwBatch;
    DWORD iParsed;
    DWORD iSettled;
    WORD wPos;
    // Stops and the close of the handle, counted under the named mutex
    // (interlocked: the drain reads it without the mutex between callbacks);
    // and the count the drain last acted on. When they differ the drain drops
    // what waits and parses afresh from iSettled if the handle was started
    // again, or passes over the rest of the batch.
    LONG volatile cStops;
    LONG cStopsSeen;  // the drain, under the named mutex
    // The next client held for delivery (HardwareInstance.pInDelivery); the drain.
    InputClient* pNextDelivery;
    // Who still uses the record: the open handle, a delivery under way on a
    // timer tick, a timer kill put off until the tick. The record is freed
    // when the count falls to 0 after its close unlinked it (fClosed). The
    // named mutex.
    DWORD cHolds;
    // Unlinked: nothing more is delivered to it. Set under the named mutex,
    // interlocked.
    LONG volatile fClosed;
    // A timer whose kill the close put off to a tick (the close found an
    // application callback under way on a tick), and the link of the
    // process's list of such clients. Set by the close; the tick after.
    UINT uTimerIdToKill;
    InputClient* pNextKill;
};

// ---- entry (entry.cpp; called by the multimedia layer through the exports).
extern "C" DWORD APIENTRY midMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser,
                                     DWORD_PTR dwParam1, DWORD_PTR dwParam2);

// ---- handles (handles.cpp; used by the entry). Open and close, the per-port
// client lists (changed under the named mutex), the started bit, and the
// record's holds.
DWORD midOpen(UINT port, HardwareInstance* pInstance, DWORD_PTR* pdwUser, MIDIOPENDESC* pDesc,
              DWORD dwFlags);
DWORD midClose(InputClient* pClient);
BOOL midAddClient(HardwareInstance* pInstance, InputClient* pClient, UINT port);
// Unlinks the client and marks it closed: what waits for delivery is dropped
// and nothing more reaches it.
void midRemoveClient(HardwareInstance* pInstance, InputClient* pClient, UINT port);
void midStart(InputClient* pClient);
// Clears the started bit. Data waiting for delivery is dropped, as bytes that
// arrive now would be; buffers the parser has returned are delivered here, in
// order, before the partly filled head buffer comes back (MIM_LONGERROR).
void midStop(InputClient* pClient);
// Drops one hold; frees the record when it was the last of a closed client.
// Called without the named mutex.
void midReleaseClient(InputClient* pClient);

// ---- buffer queue (buffers.cpp; used by the entry, the handles and the parser).
DWORD midAddBuffer(HardwareInstance* pInstance, InputClient* pClient, MIDIHDR* pHdr);
void midFreeQ(InputClient* pClient);
void midSendPartBuffer(InputClient* pClient);

// ---- timers (timer.cpp; used by the handles, the drain and driver/'s lifecycle).
BOOL mmTimerEnable(InputClient* pClient);
// Kills the client's timer. An application callback under way on a timer
// tick is waited for a little (a kill waits for the tick); one that does not
// return (it may wait for a lock that this thread holds), or one on this very
// thread, has the kill put off to the tick, which holds the record for it.
void mmTimerDisable(InputClient* pClient);
// Stops the timers of every input client of an instance that is going away
// while clients are still open, so no drain runs on freed memory.
void midDisableInstanceTimers(HardwareInstance* pInstance);
// Kills the timers put off to a tick: on a tick (fOnTick) at once, elsewhere
// only while no application callback runs on a tick.
void mmKillPutOffTimers(BOOL fOnTick);
// Around the application callbacks of a tick: FALSE (and nothing to leave)
// while a timer is being killed elsewhere, which waits for the tick to end.
// Between callbacks, mmTimerKillWaiting tells the tick to stop and leave.
BOOL mmEnterTickCallback();
void mmLeaveTickCallback();
// Timer kills under way off the ticks (timer.cpp). Interlocked; the ticks read
// it without a barrier between callbacks: a kill they miss waits for the
// callback.
extern LONG volatile gcTimerKills;
inline BOOL mmTimerKillWaiting() {
    return ReadNoFence(&gcTimerKills) != 0;
}

// ---- drain and parse (drain.cpp, parse.cpp; run by the timers).
//
// The drain takes packets out of the ring a batch at a time and lets every
// started client parse them under the named mutex, recording what they
// cause; it delivers that once the mutex is given back, so that no
// application is called back while it is held. A client stops parsing
// before a byte that needs a buffer while notifications of its own wait, so
// a buffer queued from a callback catches the bytes that follow; a stop or
// restart from a callback takes effect right after the notification that
// caused it.
void CALLBACK mmTimerIntr(UINT uTimerID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
// Under the named mutex: records a returned buffer for the client.
void midRecordNotice(InputClient* pClient, WORD uMsg, DWORD_PTR dwParam1, DWORD dwParam2);
// Under the named mutex, for a started client of input port (0 A, 1 B):
// parses the client's bytes of the batch from iParsed, as far as it may.
// Answers whether it parsed any.
BOOL midParseClient(HardwareInstance* pInstance, InputClient* pClient, DWORD port);
void midBufferWrite(InputClient* pClient, BYTE bByte);
