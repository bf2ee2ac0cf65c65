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
// batch afresh.
#include "devices/devices.h"
#include "hwlink/hwlink.h"
#include "midiin/midiin.h"

// Under the named mutex: the first client with returned buffers left waiting.
static InputClient* FirstWaitingClient(HardwareInstance* pInstance) {
    for (InputClient* pList : pInstance->apInClients)
        for (InputClient* p = pList; p != nullptr; p = p->pNext)
            if (p->cNotices != 0 && !p->fInDelivery) return p;
    return nullptr;
}

// Delivers the returned buffers a tick cut short left for the client, taking
// each out under the named mutex (a stop elsewhere may deliver them itself).
// The client is held meanwhile: a close on another thread may unlink it, and
// then nothing more is delivered, but the record stays until this delivery
// has let go of it.
static BOOL DeliverToClient(HardwareInstance* pInstance, InputClient* pClient) {
    for (;;) {
        BOOL fMayCall = !mmTimerKillWaiting();
        MidiNotice n = {};
        CriticalSection(kCsEnter, pInstance);
        BOOL fHave = fMayCall && !pClient->fClosed && pClient->cNotices != 0;
        if (fHave) {
            n = pClient->aNotices[pClient->iNotice];
            pClient->iNotice = (pClient->iNotice + 1) % kNoticeSlots;
            pClient->cNotices--;
            pInstance->cNoticesWaiting--;
        } else {
            pClient->fInDelivery = 0;
        }
        CriticalSection(kCsLeave, pInstance);
        if (!fHave) {
            midReleaseClient(pClient);
            return fMayCall;
        }
        midiCallback(pClient, n.uMsg, n.dwParam1, n.dwParam2);
    }
}

// Inside mmEnterTickCallback: delivers the returned buffers a tick cut short
// left (aNotices). FALSE when a timer kill elsewhere interrupted it; the rest
// then waits for the next tick.
static BOOL DeliverLeftBuffers(HardwareInstance* pInstance) {
    for (;;) {
        CriticalSection(kCsEnter, pInstance);
        InputClient* pClient = FirstWaitingClient(pInstance);
        if (pClient != nullptr) {
            pClient->fInDelivery = 1;
            pClient->cHolds++;
        }
        CriticalSection(kCsLeave, pInstance);
        if (pClient == nullptr) return TRUE;
        if (!DeliverToClient(pInstance, pClient)) return FALSE;
    }
}

// Under the named mutex: the returned buffers among what a tick cut short
// left undelivered move where a stop finds them (aNotices); the rest stays
// for the next tick, which drops it if the handle was stopped meanwhile.
static void LeaveReturnedBuffers(HardwareInstance* pInstance, InputClient* pClient) {
    DWORD cKept = pClient->iPending;
    for (DWORD i = pClient->iPending; i < pClient->cPending; ++i) {
        const MidiNotice& n = pClient->aPending[i];
        if (n.uMsg != MIM_LONGDATA) {
            pClient->aPending[cKept++] = n;
        } else if (pClient->cNotices < kNoticeSlots) {  // never full: see kNoticeSlots
            pClient->aNotices[(pClient->iNotice + pClient->cNotices) % kNoticeSlots] = n;
            pClient->cNotices++;
            pInstance->cNoticesWaiting++;
        }
    }
    pClient->cPending = cKept;
}

// Under the named mutex: lets go of the clients held for the last delivery,
// after a tick cut short (fCut) leaving their returned buffers where a stop
// finds them. Answers those now to be freed (closed, and no hold left),
// linked through pNextDelivery; the caller frees them once the mutex is
// given back.
static InputClient* LetGoOfDelivery(HardwareInstance* pInstance, BOOL fCut) {
    InputClient* pFree = nullptr;
    InputClient* pNextClient = nullptr;
    for (InputClient* p = pInstance->pInDelivery; p != nullptr; p = pNextClient) {
        pNextClient = p->pNextDelivery;
        if (fCut) LeaveReturnedBuffers(pInstance, p);
        if (--p->cHolds == 0 && p->fClosed) {
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

// Under the named mutex: brings the client up to date with the batch and
// with its handle. A client linked or stopped since the batch was taken
// passes over it (those bytes came before it started). One stopped, or
// stopped and started again, since the drain last looked drops the short
// notifications it had waiting (the returned buffers among them were
// delivered, or left for a stop); started, it parses afresh from where all
// it had parsed was settled.
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

// What a parse round leaves to do.
constexpr DWORD kRoundParsed = 1;   // bytes were parsed
constexpr DWORD kRoundLeft = 2;     // returned buffers a tick cut short left wait
constexpr DWORD kRoundPending = 4;  // notifications wait (pInDelivery)

// One parse round, under the named mutex: lets go of the last round's
// clients, takes the next batch once every started client is through the
// last one, and lets each started client parse as far as it may. The clients
// with notifications waiting are held and listed for delivery.
static DWORD ParseRound(HardwareInstance* pInstance) {
    CriticalSection(kCsEnter, pInstance);
    InputClient* pFree = LetGoOfDelivery(pInstance, FALSE);
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
    if (pInstance->cNoticesWaiting != 0) dwLeft |= kRoundLeft;
    CriticalSection(kCsLeave, pInstance);
    FreeClients(pFree);
    return dwLeft;
}

// Inside mmEnterTickCallback: delivers the notifications of the clients the
// round listed, in order, without the named mutex. Once a client's handle
// was stopped or closed meanwhile, only its returned buffers go on being
// delivered, and only while it is not closed. FALSE when a timer kill
// elsewhere cut it short.
static BOOL DeliverPending(HardwareInstance* pInstance) {
    for (InputClient* p = pInstance->pInDelivery; p != nullptr; p = p->pNextDelivery) {
        // Set at open and read-only after: a copy the callbacks cannot touch.
        ClientHeader header = *p;
        const LONG cStops = p->cStopsSeen;
        const DWORD c = p->cPending;
        DWORD i = p->iPending;
        DWORD iDelivered = 0;  // after the last notification delivered unstopped, 0 none
        BOOL fCut = FALSE;
        for (; i != c; ++i) {
            if (mmTimerKillWaiting()) {
                fCut = TRUE;
                break;
            }
            const MidiNotice& n = p->aPending[i];
            if (ReadNoFence(&p->cStops) == cStops) {
                midiCallback(&header, n.uMsg, n.dwParam1, n.dwParam2);
                iDelivered = i + 1;
            } else if (n.uMsg == MIM_LONGDATA && !ReadNoFence(&p->fClosed)) {
                midiCallback(&header, n.uMsg, n.dwParam1, n.dwParam2);
            }
        }
        // Settled: all it parsed, or up to the last notification it got
        // (a stop, or a restart, takes effect after it).
        if (!fCut && ReadNoFence(&p->cStops) == cStops)
            p->iSettled = p->iParsed;
        else if (iDelivered != 0)
            p->iSettled = p->aPending[iDelivered - 1].wPos + 1u;
        if (fCut) {
            p->iPending = i;
            return FALSE;
        }
        p->iPending = p->cPending = 0;
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
// answer only moves the work to the next tick.
static BOOL NothingToDo(const HardwareInstance* pInstance) {
    if (ReadNoFence(&pInstance->fInLeftOver)) return FALSE;
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
    BOOL fCalling = FALSE;  // inside mmEnterTickCallback
    for (;;) {
        DWORD dwLeft = ParseRound(pInstance);
        if (dwLeft == 0) break;
        if (!(dwLeft & (kRoundLeft | kRoundPending))) continue;
        // A kill elsewhere holds the callbacks back or cuts them short: the
        // rest waits for the next tick.
        if (!fCalling) fCalling = mmEnterTickCallback();
        if (!fCalling || ((dwLeft & kRoundLeft) && !DeliverLeftBuffers(pInstance)) ||
            ((dwLeft & kRoundPending) && !DeliverPending(pInstance))) {
            InterlockedExchange(&pInstance->fInLeftOver, 1);
            break;
        }
    }
    if (fCalling) mmLeaveTickCallback();
    if (pInstance->pInDelivery != nullptr) {
        CriticalSection(kCsEnter, pInstance);
        InputClient* pFree = LetGoOfDelivery(pInstance, pInstance->fInLeftOver);
        CriticalSection(kCsLeave, pInstance);
        FreeClients(pFree);
    }
    InterlockedExchange(&pInstance->fDraining, 0);
    mmKillPutOffTimers(TRUE);
}
