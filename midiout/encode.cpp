// Output encoding: short messages, long data and resets become packets of up
// to three bytes in the port's shared ring, with MIDI running status kept per
// handle (bRunningStatus) and per output port of the instance (abLastStatus).
//
// Every routine here runs inside the instance's send guard (output entry), so
// bRunningStatus and abLastStatus change without a lock; the ring itself is
// written one packet at a time under the cross-process mutex.
//
// abLastStatus[port] is the running status the port's ring last received from
// this process: it is set only from a status byte that was actually written
// (a channel status sets it, F0-F7 clear it, real-time and data bytes leave
// it), and cleared whenever a write is refused, so the next data-only message
// carries its status again instead of relying on a byte that never went out.
#include "midiout/midiout.h"

#include "devices/devices.h"
#include "hwlink/hwlink.h"

// How many retries of one packet only yield the processor before the wait
// sleeps a millisecond between attempts (about one packet's time on the
// wire).
static const DWORD kSpinAttempts = 16;

// Answers of the one-packet write that never reach an application.
static const DWORD kStreamEnded = 0x7FFF0001;  // the kernel side ended the stream
static const DWORD kPortHeld = 0x7FFF0002;     // another process's long data holds the port

// How a packet stands to the port's hold by long data: while one process
// writes long data to a port (and while a system-exclusive message of its
// stays unfinished there), other processes' packets wait, so that no
// message of theirs lands inside its data.
enum PortHold {
    kHoldRespect,  // waits while another process holds the port
    kHoldPass,     // a real-time byte, which may go anywhere: passes
    kHoldTake,     // long data: takes the port and keeps it
    kHoldRelease,  // long data's last packet: takes the port and lets it go
};

static BOOL IsChannelStatus(BYTE b) {
    return b >= 0x80 && b <= 0xEF;
}
static BOOL IsSystemCommonStatus(BYTE b) {
    return b >= 0xF0 && b <= 0xF7;
}

// One packet under one hold of the named mutex: the checks in their order,
// then the port's hold, then room. fEndedOk: a block whose stream the kernel
// side ended takes the packet (a start of it is under way); otherwise it
// answers kStreamEnded. On kPortHeld, *pcHolderPackets is the packet count
// of the holder.
static DWORD modWritePacket(HardwareInstance* pInstance, PortStream* pStream, DWORD dwData,
                            BYTE cBytes, PortHold hold, BOOL fEndedOk, DWORD* pcHolderPackets) {
    DWORD dwResult;
    CriticalSection(kCsEnter, pInstance);
    MidiFifo* pFifo = pStream->pFifo;
    if (pStream->cOpen == 0) {
        dwResult = MMSYSERR_ERROR;  // the port is not streaming in this process
    } else if (cBytes < 1 || cBytes > 3) {
        dwResult = MMSYSERR_ERROR;
    } else if (pFifo == nullptr || pFifo->dwMagic == 0) {
        dwResult = MMSYSERR_ERROR;  // no usable block
    } else if (pFifo->dwMagic == MIDI_FIFO_MAGIC && !fEndedOk) {
        dwResult = kStreamEnded;
    } else {
        BlockMarks* pMarks = MarksOfBlock(pStream, pInstance);
        DWORD dwHolder = pMarks != nullptr ? pMarks->dwLongData : 0;
        BOOL fTakes = hold == kHoldTake || hold == kHoldRelease;
        DWORD dwSelf = pMarks != nullptr && (dwHolder != 0 || fTakes) ? HolderNumberOfProcess() : 0;
        DWORD cdwSize = pFifo->cdwSize;
        DWORD iWrite = pFifo->iWrite;
        if (dwHolder != 0 && dwHolder != dwSelf && hold != kHoldPass) {
            *pcHolderPackets = pMarks->cLongPackets;
            dwResult = kPortHeld;
        } else if (!FifoIndexInSlots(iWrite, cdwSize)) {
            dwResult = MMSYSERR_ERROR;  // an index outside the slots (a block scribbled on)
        } else if (FifoSlot(pFifo, iWrite) != 0) {
            dwResult = MIDIERR_NOTREADY;  // ring full
        } else {
            FifoSlot(pFifo, iWrite) = (dwData & 0x00FFFFFF) | (static_cast<DWORD>(cBytes) << 24);
            pFifo->iWrite = FifoNextIndex(iWrite, cdwSize);
            if (fTakes && pMarks != nullptr) {
                pMarks->dwLongData = hold == kHoldTake ? dwSelf : 0;
                pMarks->cLongPackets++;
            }
            dwResult = MMSYSERR_NOERROR;
        }
    }
    CriticalSection(kCsLeave, pInstance);
    return dwResult;
}

DWORD modLoadMidiData2FIFO(HardwareInstance* pInstance, PortStream* pStream, DWORD dwData,
                           BYTE cBytes) {
    DWORD cHolderPackets = 0;
    DWORD dwResult =
        modWritePacket(pInstance, pStream, dwData, cBytes, kHoldRespect, TRUE, &cHolderPackets);
    return dwResult == kPortHeld ? MIDIERR_NOTREADY : dwResult;
}

// Under the named mutex, or taking it: lets go of the port's hold when this
// process has it (and, with cStalledAt given, when a holder's packet count
// still reads what the waiter saw it stand at for the stall bound).
static void modReleasePort(HardwareInstance* pInstance, PortStream* pStream, BOOL fStalled,
                           DWORD cStalledAt) {
    CriticalSection(kCsEnter, pInstance);
    BlockMarks* pMarks = MarksOfBlock(pStream, pInstance);
    if (pMarks != nullptr && pMarks->dwLongData != 0 &&
        (fStalled ? pMarks->cLongPackets == cStalledAt
                  : pMarks->dwLongData == HolderNumberOfProcess()))
        pMarks->dwLongData = 0;
    CriticalSection(kCsLeave, pInstance);
}

// A count that moves while something makes progress (the consumer's read
// index, the packets of the port's holder), watched for standing still.
struct StallWatch {
    DWORD cAttempts;
    DWORD dwSeen;
    DWORD dwSince;
};

// Whether the count has stood at dwValue for kLongDataStallMs; otherwise
// pauses before the next attempt: yields at first, then sleeps. GetTickCount,
// not timeGetTime: the bound is real time even when a test drives the
// multimedia clock by hand.
static BOOL modStalled(StallWatch* pWatch, DWORD dwValue) {
    DWORD dwNow = GetTickCount();
    if (pWatch->cAttempts == 0 || dwValue != pWatch->dwSeen) {
        pWatch->cAttempts = 0;  // it moved: the wait starts again
        pWatch->dwSeen = dwValue;
        pWatch->dwSince = dwNow;
    } else if (dwNow - pWatch->dwSince >= kLongDataStallMs) {
        pWatch->cAttempts = 0;
        return TRUE;
    }
    if (++pWatch->cAttempts <= kSpinAttempts) {
        SwitchToThread();
    } else {
        Sleep(1);
    }
    return FALSE;
}

// The block's read index as the consumer last left it; 0 without a block.
static DWORD ReadIndexOfStream(PortStream* pStream) {
    MidiFifo* pFifo = pStream->pFifo;
    return pFifo == nullptr ? 0 : pFifo->iRead;
}

// Writes one packet. A stream that the kernel side ended is started again
// first (the packet then waits in the ring until it runs). While another
// process's long data holds the port the packet waits; a holder that wrote
// nothing for kLongDataStallMs (it stalled, or died) loses the port. With
// fWaitFull (long data) a full ring is waited on too, and MMSYSERR_ERROR
// answered when the consumer freed no slot for kLongDataStallMs; otherwise a
// full ring answers MIDIERR_NOTREADY at once. The named mutex is taken and
// given back on every attempt, so other writers and the input drain go on.
static DWORD modPutPacket(HardwareInstance* pInstance, PortStream* pStream, DWORD dwPacket,
                          BYTE cBytes, PortHold hold, BOOL fWaitFull) {
    StallWatch ring = {}, holder = {};
    BOOL fRestarted = FALSE;
    for (;;) {
        DWORD cHolderPackets = 0;
        DWORD dwResult =
            modWritePacket(pInstance, pStream, dwPacket, cBytes, hold, fRestarted, &cHolderPackets);
        if (dwResult == kStreamEnded) {
            dwResult = RestartHwPortStreaming(pStream, pInstance, TRUE);
            if (dwResult != MMSYSERR_NOERROR) return dwResult;
            fRestarted = TRUE;
        } else if (dwResult == kPortHeld) {
            if (modStalled(&holder, cHolderPackets))
                modReleasePort(pInstance, pStream, TRUE, cHolderPackets);
        } else if (dwResult != MIDIERR_NOTREADY || !fWaitFull) {
            return dwResult;
        } else if (modStalled(&ring, ReadIndexOfStream(pStream))) {
            return MMSYSERR_ERROR;
        }
    }
}

// What this process wrote to the port before its stream was started again
// is no longer in force: the receiver may be a new interface.
static void modFollowStarts(HardwareInstance* pInstance, UINT port) {
    // Read without a locked instruction (every send reads it): an interlocked
    // read would order nothing more, a start on another thread may land just
    // after either.
    LONG cStarts = ReadNoFence(&pInstance->aStreams[kStreamOutA + port].cStarts);
    if (cStarts == pInstance->alStartsSeen[port]) return;
    pInstance->alStartsSeen[port] = cStarts;
    pInstance->abLastStatus[port] = 0;
    pInstance->afSysexOpen[port] = 0;
}

DWORD modSendShortMsg(UINT port, OutputClient* pClient, DWORD dwMsg) {
    HardwareInstance* pInstance = pClient->pInstance;
    modFollowStarts(pInstance, port);
    const BYTE st = static_cast<BYTE>(dwMsg & 0xFF);

    if (IsChannelStatus(st)) {
        pClient->bRunningStatus = st;
    } else if (IsSystemCommonStatus(st)) {
        pClient->bRunningStatus = 0;
    }
    const BYTE bRunning = pClient->bRunningStatus;

    BYTE cBytes;
    BOOL fWritesStatus = FALSE;  // the packet carries a status that decides abLastStatus
    BYTE bWrittenStatus = 0;
    if (st >= 0xF0) {
        cBytes = gabMsgLenSystem[st - 0xF0];
        if (IsSystemCommonStatus(st)) {
            fWritesStatus = TRUE;  // clears the receiver's running status
            bWrittenStatus = 0;
        }
    } else if (st >= 0x80) {
        cBytes = gabMsgLenChannel[(st >> 4) - 8];
        fWritesStatus = TRUE;
        bWrittenStatus = st;
    } else {
        if (bRunning == 0) return MMSYSERR_NOERROR;  // data without a status: nothing to send
        cBytes = gabMsgLenChannel[(bRunning >> 4) - 8];
        if (pInstance->abLastStatus[port] != bRunning) {
            // The third byte of dwMsg moves out: the message keeps its full length.
            dwMsg = bRunning | (dwMsg << 8);
            fWritesStatus = TRUE;
            bWrittenStatus = bRunning;
        } else {
            cBytes = static_cast<BYTE>(cBytes - 1);
        }
    }

    // A real-time byte may go anywhere on the wire, inside another
    // process's system-exclusive message too.
    DWORD dwResult = modPutPacket(pInstance, &pInstance->aStreams[kStreamOutA + port], dwMsg,
                                  cBytes, st >= 0xF8 ? kHoldPass : kHoldRespect, FALSE);
    if (dwResult != MMSYSERR_NOERROR) {
        pInstance->abLastStatus[port] = 0;  // nothing written: the ring's status is unknown
    } else if (fWritesStatus) {
        pInstance->abLastStatus[port] = bWrittenStatus;
        pInstance->afSysexOpen[port] = st == 0xF0;
    }
    return dwResult;
}

DWORD modSendData(UINT port, OutputClient* pClient, const BYTE* pData, DWORD cbData) {
    if (cbData == 0) return MMSYSERR_NOERROR;
    HardwareInstance* pInstance = pClient->pInstance;
    PortStream* pStream = &pInstance->aStreams[kStreamOutA + port];
    modFollowStarts(pInstance, port);

    DWORD dwPacket = 0;
    BYTE cb = 0;
    // The status that the packet being built leaves in force on the wire
    // once written, when it holds a status byte.
    BOOL fPacketHasStatus = FALSE;
    BYTE bPacketStatus = 0;

    const BYTE bRunning = pClient->bRunningStatus;
    if (pData[0] < 0x80 && bRunning != 0 && pInstance->abLastStatus[port] != bRunning) {
        dwPacket = bRunning;
        cb = 1;
        fPacketHasStatus = TRUE;
        bPacketStatus = bRunning;
    }

    // The port is this process's from the first packet until the last one
    // that leaves no system-exclusive message of its unfinished: a buffer
    // that ends inside one keeps it for the buffer that goes on with it.
    BOOL fSysexOpen = pInstance->afSysexOpen[port];
    DWORD dwResult = MMSYSERR_NOERROR;
    for (DWORD i = 0; i < cbData; ++i) {
        const BYTE b = pData[i];
        if (IsChannelStatus(b) || IsSystemCommonStatus(b)) {
            pClient->bRunningStatus = IsChannelStatus(b) ? b : 0;
            fPacketHasStatus = TRUE;
            bPacketStatus = pClient->bRunningStatus;
            fSysexOpen = b == 0xF0;
        }
        dwPacket |= static_cast<DWORD>(b) << (8 * cb);
        ++cb;
        if (cb == 3 || i + 1 == cbData || b == 0xF7) {
            PortHold hold = i + 1 == cbData && !fSysexOpen ? kHoldRelease : kHoldTake;
            dwResult = modPutPacket(pInstance, pStream, dwPacket, cb, hold, TRUE);
            if (dwResult != MMSYSERR_NOERROR) {
                pInstance->abLastStatus[port] = 0;
                pInstance->afSysexOpen[port] = 0;
                modReleasePort(pInstance, pStream, FALSE, 0);
                return dwResult;  // the rest of the buffer is not sent
            }
            pInstance->afSysexOpen[port] = static_cast<BYTE>(fSysexOpen);
            if (fPacketHasStatus) pInstance->abLastStatus[port] = bPacketStatus;
            dwPacket = 0;
            cb = 0;
            fPacketHasStatus = FALSE;
        }
    }
    return dwResult;
}

DWORD modSendLongData(UINT port, OutputClient* pClient, MIDIHDR* pHdr) {
    if ((pHdr->dwFlags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
    DWORD dwResult = modSendData(port, pClient, reinterpret_cast<const BYTE*>(pHdr->lpData),
                                 pHdr->dwBufferLength);
    // Done and notified whatever the result: the buffer goes back to the
    // application either way, since nothing keeps it queued.
    pHdr->dwFlags |= MHDR_DONE;
    midiCallback(pClient, MOM_DONE, reinterpret_cast<DWORD_PTR>(pHdr), 0);
    return dwResult;
}

void modReset(UINT port, OutputClient* pClient) {
    // Damper off, then all notes off, for every channel; a message that meets
    // a full ring is dropped.
    for (DWORD ch = 0; ch < 16; ++ch) {
        modSendShortMsg(port, pClient, 0x40B0 | ch);
        modSendShortMsg(port, pClient, 0x7BB0 | ch);
    }
    pClient->bRunningStatus = 0;
    // A reset ends what long data of this process had left unfinished.
    HardwareInstance* pInstance = pClient->pInstance;
    pInstance->afSysexOpen[port] = 0;
    modReleasePort(pInstance, &pInstance->aStreams[kStreamOutA + port], FALSE, 0);
}
