// The timer callback of every open input client: empties the instance's input
// ring and hands each byte, with the input port it arrived on, to the parser.
//
// The parser runs under the named mutex and records the notifications it
// makes; they are delivered after the mutex is given back, so that no
// application is called back while it is held (a callback may wait for the
// application's own lock while another thread holding that lock calls the
// driver). One byte is parsed at a time and what it caused is delivered
// before the next, so a callback that queues a buffer, or stops or restarts
// its handle, acts before the bytes that follow. A stream of the instance
// that the kernel side ended under this process (the interface was unplugged,
// or the process that carried an output stream died) is started again from
// here, at a slow pace, until it runs.
#include "devices/devices.h"
#include "hwlink/hwlink.h"
#include "midiin/midiin.h"

void midRecordNotice(InputClient* pClient, WORD uMsg, DWORD_PTR dwParam1, DWORD dwParam2) {
    // Never full: the drain delivers what a byte caused before the next.
    if (pClient->cNotices == kNoticeSlots) return;
    MidiNotice& n = pClient->aNotices[(pClient->iNotice + pClient->cNotices) % kNoticeSlots];
    n.uMsg = uMsg;
    n.dwParam1 = dwParam1;
    n.dwParam2 = dwParam2;
    pClient->cNotices++;
    pClient->pInstance->cNoticesWaiting++;
}

// Under the named mutex: the first client with notifications waiting.
static InputClient* FirstWaitingClient(HardwareInstance* pInstance) {
    for (InputClient* pList : pInstance->apInClients)
        for (InputClient* p = pList; p != nullptr; p = p->pNext)
            if (p->cNotices != 0 && !p->fInDelivery) return p;
    return nullptr;
}

// Delivers the client's waiting notifications, taking each out under the
// named mutex. The client is held meanwhile: a close on another thread may
// unlink it, and then nothing more is delivered, but the record stays until
// this delivery has let go of it.
static BOOL DeliverToClient(HardwareInstance* pInstance, InputClient* pClient) {
    for (;;) {
        BOOL fMayCall = mmEnterTickCallback();
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
            if (fMayCall) mmLeaveTickCallback();
            midReleaseClient(pClient);
            return fMayCall;
        }
        midiCallback(pClient, n.uMsg, n.dwParam1, n.dwParam2);
        mmLeaveTickCallback();
    }
}

BOOL midDeliverNotices(HardwareInstance* pInstance) {
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

// How often the drain tries to start again a stream of its instance that the
// kernel side ended under this process (the interface went away, or another
// process that carried it died): slowly, since each try asks the kernel side.
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

// Parses bytes from the ring, one at a time, until one leaves notifications
// waiting or the ring is empty. Answers whether it parsed any; *pdwEnded
// receives EndedStreams (what the input stream wrote before it ended is
// parsed all the same).
static BOOL midParseBytes(HardwareInstance* pInstance, DWORD* pdwEnded) {
    BOOL fParsed = FALSE;
    CriticalSection(kCsEnter, pInstance);
    *pdwEnded = EndedStreams(pInstance);
    PortStream* pStream = &pInstance->aStreams[kStreamIn];
    MidiFifo* pFifo = pStream->pFifo;
    if (pStream->cOpen == 0 || pFifo == nullptr || pFifo->dwMagic == 0) {
        pInstance->cInBytes = 0;  // what was left of a stream that is over
    } else {
        // The block is memory the kernel side also writes: an end beyond the
        // block or a read index outside the slots is never followed.
        DWORD cdwSize = pFifo->cdwSize;
        while (pInstance->cNoticesWaiting == 0) {
            if (pInstance->cInBytes == 0) {
                DWORD iRead = pFifo->iRead;
                if (!FifoIndexInSlots(iRead, cdwSize)) iRead = kFifoFirstSlot;
                DWORD dwPacket = FifoSlot(pFifo, iRead);
                if (!FifoPacketPresent(dwPacket)) break;
                // Empty the slot and move on before parsing, so the producer
                // is never held up on this slot.
                FifoSlot(pFifo, iRead) = 0;
                pFifo->iRead = FifoNextIndex(iRead, cdwSize);
                pInstance->dwInBytes = dwPacket & 0x00FFFFFF;
                pInstance->cInBytes = static_cast<BYTE>(FifoPacketCount(dwPacket));
                pInstance->bInPort = static_cast<BYTE>(FifoPacketPort(dwPacket));
                fParsed = TRUE;  // a packet without bytes is consumed all the same
                continue;
            }
            fParsed = TRUE;
            DWORD dwByte = pInstance->dwInBytes & 0xFF;
            pInstance->dwInBytes >>= 8;
            pInstance->cInBytes--;
            midByteRec(pInstance->bInPort, pInstance, dwByte);
        }
    }
    CriticalSection(kCsLeave, pInstance);
    return fParsed;
}

// dwUser is the instance. One tick drains it at a time: another tick that
// finds a drain under way (its callback may be waiting) leaves the ring to it.
void CALLBACK mmTimerIntr(UINT /*uTimerID*/, UINT /*uMsg*/, DWORD_PTR dwUser, DWORD_PTR /*dw1*/,
                          DWORD_PTR /*dw2*/) {
    HardwareInstance* pInstance = reinterpret_cast<HardwareInstance*>(dwUser);
    mmKillPutOffTimers(TRUE);
    if (InterlockedExchange(&pInstance->fDraining, 1) != 0) return;
    // What an interrupted tick left waiting goes first.
    DWORD dwEnded = 0;
    while (midDeliverNotices(pInstance) && midParseBytes(pInstance, &dwEnded)) {
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
