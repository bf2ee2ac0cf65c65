// The timer callback of every open input client: takes the instance's input
// ring a batch of packets at a time, lets each started client parse them, and
// delivers what they caused.
//
// Parsing runs in rounds under the named mutex; the notifications a round
// records are delivered after the mutex is given back, so that no
// application is called back while it is held (a callback may wait for the
// application's own lock while another thread holding that lock calls the
// driver). A client stops a round before a byte that needs a buffer while
// notifications of its own wait, so a buffer queued from a callback catches
// the bytes that follow. A stop, restart or close from a callback takes
// effect right after the notification that caused it: what the client still
// had waiting is dropped, and a restarted client parses the rest of the
// batch afresh. A stream of the instance that the kernel side ended under
// this process (the interface was unplugged, or the process that carried an
// output stream died) is started again from here, at a slow pace, until it
// runs.
#include "devices/devices.h"
#include "hwlink/hwlink.h"
#include "midiin/midiin.h"

void midRecordNotice(InputClient* pClient, WORD uMsg, DWORD_PTR dwParam1, DWORD dwParam2) {
    // Never full: a client with a returned buffer waiting parses no byte
    // that needs a buffer.
    if (pClient->cNotices == kNoticeSlots) return;
    MidiNotice& n = pClient->aNotices[(pClient->iNotice + pClient->cNotices) % kNoticeSlots];
    n.uMsg = uMsg;
    n.dwParam1 = dwParam1;
    n.dwParam2 = dwParam2;
    n.wPos = 0;
    pClient->cNotices++;
    pClient->pInstance->cNoticesWaiting++;
}

// Under the named mutex: lets go of one hold on the client. Answers whether
// the record is now to be freed (closed, and no hold left); the caller frees
// it once the mutex is given back.
static BOOL LetGo(InputClient* pClient) {
    return --pClient->cHolds == 0 && pClient->fClosed;
}

// Under the named mutex: lets go of the clients held for the last delivery.
// Answers those now to be freed, linked through pNextDelivery.
static InputClient* LetGoOfDelivery(HardwareInstance* pInstance) {
    InputClient* pFree = nullptr;
    InputClient* pNextClient = nullptr;
    for (InputClient* p = pInstance->pInDelivery; p != nullptr; p = pNextClient) {
        pNextClient = p->pNextDelivery;
        if (LetGo(p)) {
            p->pNextDelivery = pFree;
            pFree = p;
        }
    }
    pInstance->pInDelivery = nullptr;
    return pFree;
}

static void FreeClients(InputClient* pFree) {
    while (pFree != nullptr) {
        InputClient* pNextClient = pFree->pNextDelivery;
        LocalFree(pFree);
        pFree = pNextClient;
    }
}

// Inside mmEnterTickCallback: delivers the returned buffers waiting, taking
// each out under the named mutex, so that a stop elsewhere delivers those
// still waiting itself, before the head buffer it returns. The client is held
// while its callback runs: a close on another thread may unlink it, and then
// nothing more is delivered, but the record stays until the delivery has let
// go of it. FALSE when a timer kill elsewhere interrupted it; the rest then
// waits for the next tick.
static BOOL DeliverBuffers(HardwareInstance* pInstance) {
    InputClient* pHeld = nullptr;
    for (;;) {
        BOOL fMayCall = !mmTimerKillWaiting();
        MidiNotice n = {};
        InputClient* pClient = nullptr;
        CriticalSection(kCsEnter, pInstance);
        BOOL fFree = pHeld != nullptr && LetGo(pHeld);
        for (InputClient* pList : pInstance->apInClients)
            for (InputClient* p = pList; fMayCall && !pClient && p != nullptr; p = p->pNext)
                if (p->cNotices != 0) pClient = p;
        if (pClient != nullptr) {
            n = pClient->aNotices[pClient->iNotice];
            pClient->iNotice = (pClient->iNotice + 1) % kNoticeSlots;
            pClient->cNotices--;
            pInstance->cNoticesWaiting--;
            pClient->cHolds++;
        }
        CriticalSection(kCsLeave, pInstance);
        if (fFree) LocalFree(pHeld);
        pHeld = pClient;
        if (pClient == nullptr) return fMayCall;
        midiCallback(pClient, n.uMsg, n.dwParam1, n.dwParam2);
    }
}

// Under the named mutex: brings the client up to date with the batch and
// with its handle. A client linked or stopped since the batch was taken
// passes over it (those bytes came before it started). One stopped, or
// stopped and started again, since the drain last looked drops the short
// notifications it had waiting; started, it parses afresh from where all it
// had parsed was settled.
static void CatchUp(HardwareInstance* pInstance, InputClient* pClient) {
    const DWORD iEnd = pInstance->cInBatch * 4;
    BOOL fStarted = (pClient->bState & kInStarted) != 0;
    if (pClient->dwBatch != pInstance->dwInBatch) {
        pClient->dwBatch = pInstance->dwInBatch;
        pClient->iParsed = pClient->iSettled = iEnd;
    }
    LONG cStops = pClient->cStops;
    if (cStops != pClient->cStopsSeen) {
        pClient->cStopsSeen = cStops;
        pClient->iPending = pClient->cPending = 0;
        pClient->iParsed = fStarted ? pClient->iSettled : iEnd;
    }
    if (!fStarted) pClient->iParsed = pClient->iSettled = iEnd;
}

// Under the named mutex: takes the next batch of packets out of the ring,
// with the time it takes them; every started client parses it from the
// start. Answers whether there was any.
//
// Emptying a slot and moving iRead on come before parsing, so that the
// producer is never held up on this slot. The block is memory the kernel
// side also writes: an end beyond the block or a read index outside the
// slots is never followed.
static BOOL TakeBatch(HardwareInstance* pInstance) {
    PortStream* pStream = &pInstance->aStreams[kStreamIn];
    MidiFifo* pFifo = pStream->pFifo;
    if (pStream->cOpen == 0 || pFifo == nullptr || pFifo->dwMagic == 0) return FALSE;
    const DWORD cdwSize = pFifo->cdwSize;
    DWORD iRead = pFifo->iRead;
    if (!FifoIndexInSlots(iRead, cdwSize)) iRead = kFifoFirstSlot;
    DWORD c = 0;
    while (c < kInBatchPackets) {
        DWORD dwPacket = FifoSlot(pFifo, iRead);
        if (!FifoPacketPresent(dwPacket)) break;
        FifoSlot(pFifo, iRead) = 0;
        iRead = FifoNextIndex(iRead, cdwSize);
        pInstance->adwInBatch[c++] = dwPacket;
    }
    if (c == 0) return FALSE;
    pFifo->iRead = iRead;
    pInstance->cInBatch = c;
    pInstance->dwInBatchTime = timeGetTime();
    pInstance->dwInBatch++;
    for (InputClient* pList : pInstance->apInClients) {
        for (InputClient* p = pList; p != nullptr; p = p->pNext) {
            BOOL fStarted = (p->bState & kInStarted) != 0;
            p->dwBatch = pInstance->dwInBatch;
            p->iParsed = p->iSettled = fStarted ? 0 : c * 4;
        }
    }
    return TRUE;
}

// How often the drain tries to start again a stream of its instance that the
// kernel side ended under this process (the interface went away, or another
// process that carried it died): slowly, since each try asks the kernel side.
// An idle tick looks for such streams as often.
constexpr DWORD kRestartMs = 500;

// Under the named mutex: the streams of the instance that this process streams
// through and that the kernel side has ended, as bits by stream index: the
// input stream, and output streams with packets still in their rings (an
// output stream without any is started again by its next write).
static DWORD EndedStreams(HardwareInstance* pInstance) {
    DWORD dwEnded = 0;
    for (UINT i = 0; i < kStreamCount; ++i) {
        PortStream* pStream = &pInstance->aStreams[i];
        MidiFifo* pFifo = pStream->pFifo;
        if (pStream->cOpen != 0 && pFifo != nullptr && pFifo->dwMagic == MIDI_FIFO_MAGIC &&
            (i == kStreamIn || FifoPacketWaiting(pFifo)))
            dwEnded |= 1u << i;
    }
    return dwEnded;
}

// What a parse round leaves to do.
constexpr DWORD kRoundParsed = 1;   // bytes were parsed
constexpr DWORD kRoundBuffers = 2;  // returned buffers wait
constexpr DWORD kRoundPending = 4;  // notifications wait (pInDelivery)

// One parse round, under the named mutex: lets go of the last round's
// clients, takes the next batch once every started client is through the
// last one, and lets each started client parse as far as it may. The clients
// with notifications waiting are held and listed for delivery. *pdwEnded
// receives EndedStreams (what the input stream wrote before it ended is
// parsed all the same).
static DWORD ParseRound(HardwareInstance* pInstance, DWORD* pdwEnded) {
    CriticalSection(kCsEnter, pInstance);
    *pdwEnded = EndedStreams(pInstance);
    InputClient* pFree = LetGoOfDelivery(pInstance);
    BOOL fThrough = TRUE;
    for (InputClient* pList : pInstance->apInClients) {
        for (InputClient* p = pList; p != nullptr; p = p->pNext) {
            CatchUp(pInstance, p);
            if (p->iParsed < pInstance->cInBatch * 4 || p->iPending != p->cPending)
                fThrough = FALSE;
        }
    }
    if (fThrough) TakeBatch(pInstance);
    DWORD dwLeft = 0;
    InputClient** ppLast = &pInstance->pInDelivery;
    for (DWORD port = 0; port < 2; ++port) {
        for (InputClient* p = pInstance->apInClients[port]; p != nullptr; p = p->pNext) {
            if ((p->bState & kInStarted) && midParseClient(pInstance, p, port))
                dwLeft |= kRoundParsed;
            if (p->iPending == p->cPending) continue;
            p->cHolds++;
            p->pNextDelivery = nullptr;
            *ppLast = p;
            ppLast = &p->pNextDelivery;
            dwLeft |= kRoundPending;
        }
    }
    if (pInstance->cNoticesWaiting != 0) dwLeft |= kRoundBuffers;
    CriticalSection(kCsLeave, pInstance);
    FreeClients(pFree);
    return dwLeft;
}

// Inside mmEnterTickCallback: delivers the short notifications of the
// clients the round listed, in order, after their returned buffers, without
// the named mutex. A client whose handle was stopped or closed meanwhile gets
// nothing more. FALSE when a timer kill elsewhere cut it short.
static BOOL DeliverPending(HardwareInstance* pInstance) {
    for (InputClient* p = pInstance->pInDelivery; p != nullptr; p = p->pNextDelivery) {
        // Set at open and read-only after: a copy the callbacks cannot touch.
        ClientHeader header = *p;
        const LONG cStops = p->cStopsSeen;
        const DWORD c = p->cPending;
        DWORD i = p->iPending;
        BOOL fCut = FALSE;
        for (; i != c && ReadNoFence(&p->cStops) == cStops; ++i) {
            if (mmTimerKillWaiting()) {
                fCut = TRUE;
                break;
            }
            const MidiNotice& n = p->aPending[i];
            midiCallback(&header, n.uMsg, n.dwParam1, n.dwParam2);
        }
        // Settled: all it parsed, or up to the last notification it got (a
        // stop, or a restart, takes effect after it).
        if (i == c && ReadNoFence(&p->cStops) == cStops)
            p->iSettled = p->iParsed;
        else if (i != p->iPending)
            p->iSettled = p->aPending[i - 1].wPos + 1u;
        p->iPending = i;
        if (fCut) return FALSE;
        if (i == c) p->iPending = p->cPending = 0;
    }
    return TRUE;
}

// Idle: nothing left by the last tick, and the slot at iRead empty. Read
// without the named mutex: this process is the only consumer of its input
// block (the kernel side gives each process a block of its own), and its
// drains of one instance never run at once (fDraining), so no one else
// moves iRead or empties a slot. The kernel side may fill the slot an
// instant later; the next tick takes it. A block being set up afresh by a
// stream start reads as empty. The block lies in the process's input region,
// which stays mapped for the life of the process whether a stream uses it or
// not, so the read is safe even while no stream does. Read before fDraining:
// a drain under way elsewhere can only make the answer stale, and a stale
// answer only moves the work to the next tick. Once a restart period the
// tick goes on all the same, to look for streams the kernel side ended.
static BOOL NothingToDo(const HardwareInstance* pInstance) {
    if (ReadNoFence(&pInstance->fInLeftOver)) return FALSE;
    if (GetTickCount() - static_cast<DWORD>(ReadNoFence(&pInstance->lEndedCheckTick)) >= kRestartMs)
        return FALSE;
    MidiFifo* pFifo = FifoBlock(InputRegionOfProcess(), pInstance->dwDevNode);
    DWORD iRead = pFifo->iRead;
    if (!FifoIndexInSlots(iRead, pFifo->cdwSize)) return FALSE;
    return !FifoPacketPresent(FifoSlot(pFifo, iRead));
}

// dwUser is the instance. One tick drains it at a time: another tick that
// finds a drain under way (its callback may be waiting) leaves the ring to it.
void CALLBACK mmTimerIntr(UINT /*uTimerID*/, UINT /*uMsg*/, DWORD_PTR dwUser, DWORD_PTR /*dw1*/,
                          DWORD_PTR /*dw2*/) {
    HardwareInstance* pInstance = reinterpret_cast<HardwareInstance*>(dwUser);
    mmKillPutOffTimers(TRUE);
    if (NothingToDo(pInstance) || InterlockedExchange(&pInstance->fDraining, 1) != 0) return;
    InterlockedExchange(&pInstance->fInLeftOver, 0);
    InterlockedExchange(&pInstance->lEndedCheckTick, static_cast<LONG>(GetTickCount()));
    BOOL fCalling = FALSE;  // inside mmEnterTickCallback
    DWORD dwEnded = 0;
    for (;;) {
        DWORD dwLeft = ParseRound(pInstance, &dwEnded);
        if (dwLeft == 0) break;
        if (!(dwLeft & (kRoundBuffers | kRoundPending))) continue;
        // A kill elsewhere holds the callbacks back or cuts them short: the
        // rest waits for the next tick.
        if (!fCalling) fCalling = mmEnterTickCallback();
        if (!fCalling || ((dwLeft & kRoundBuffers) && !DeliverBuffers(pInstance)) ||
            ((dwLeft & kRoundPending) && !DeliverPending(pInstance))) {
            InterlockedExchange(&pInstance->fInLeftOver, 1);
            break;
        }
    }
    if (fCalling) mmLeaveTickCallback();
    if (pInstance->pInDelivery != nullptr) {
        CriticalSection(kCsEnter, pInstance);
        InputClient* pFree = LetGoOfDelivery(pInstance);
        CriticalSection(kCsLeave, pInstance);
        FreeClients(pFree);
    }
    // A stream of a port still open ended under it: started again (once the
    // interface is back), without waiting for a control lock that an open or
    // close of this process holds.
    DWORD dwNow = GetTickCount();
    if (dwEnded != 0 && dwNow - pInstance->dwRestartTick >= kRestartMs) {
        pInstance->dwRestartTick = dwNow;
        for (UINT i = 0; i < kStreamCount; ++i)
            if (dwEnded & (1u << i))
                RestartHwPortStreaming(&pInstance->aStreams[i], pInstance, FALSE);
    }
    InterlockedExchange(&pInstance->fDraining, 0);
    mmKillPutOffTimers(TRUE);
}
