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

// How many full-ring retries of one packet only yield the processor before
// the wait sleeps a millisecond between attempts (about one packet's time on
// the wire).
static const DWORD kLongDataSpinAttempts = 16;

static BOOL IsChannelStatus(BYTE b) {
    return b >= 0x80 && b <= 0xEF;
}
static BOOL IsSystemCommonStatus(BYTE b) {
    return b >= 0xF0 && b <= 0xF7;
}

DWORD modLoadMidiData2FIFO(HardwareInstance* pInstance, PortStream* pStream, DWORD dwData,
                           BYTE cBytes) {
    DWORD dwResult;
    CriticalSection(kCsEnter, pInstance);
    MidiFifo* pFifo = pStream->pFifo;
    if (pStream->cOpen == 0) {
        dwResult = MMSYSERR_ERROR;  // the port is not streaming in this process
    } else if (cBytes < 1 || cBytes > 3) {
        dwResult = MMSYSERR_ERROR;
    } else if (pFifo == nullptr || pFifo->dwMagic == 0) {
        dwResult = MMSYSERR_ERROR;  // no usable block
    } else {
        DWORD cdwSize = pFifo->cdwSize;
        DWORD iWrite = pFifo->iWrite;
        // An index outside the slots (a block scribbled on) is not followed.
        if (!FifoIndexInSlots(iWrite, cdwSize)) {
            dwResult = MMSYSERR_ERROR;
        } else if (FifoSlot(pFifo, iWrite) != 0) {
            dwResult = MIDIERR_NOTREADY;  // ring full
        } else {
            FifoSlot(pFifo, iWrite) = (dwData & 0x00FFFFFF) | (static_cast<DWORD>(cBytes) << 24);
            pFifo->iWrite = FifoNextIndex(iWrite, cdwSize);
            dwResult = MMSYSERR_NOERROR;
        }
    }
    CriticalSection(kCsLeave, pInstance);
    return dwResult;
}

DWORD modSendShortMsg(UINT port, OutputClient* pClient, DWORD dwMsg) {
    HardwareInstance* pInstance = pClient->pInstance;
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

    DWORD dwResult =
        modLoadMidiData2FIFO(pInstance, &pInstance->aStreams[kStreamOutA + port], dwMsg, cBytes);
    if (dwResult != MMSYSERR_NOERROR) {
        pInstance->abLastStatus[port] = 0;  // nothing written: the ring's status is unknown
    } else if (fWritesStatus) {
        pInstance->abLastStatus[port] = bWrittenStatus;
    }
    return dwResult;
}

// The block's read index as the consumer last left it; 0 without a block.
static DWORD ReadIndexOfStream(PortStream* pStream) {
    MidiFifo* pFifo = pStream->pFifo;
    return pFifo == nullptr ? 0 : pFifo->iRead;
}

// Writes one packet of long data, waiting while the ring is full. The mutex is
// taken and given back on every attempt so other writers and the input drain
// go on meanwhile. Gives up with MMSYSERR_ERROR when the consumer has freed no
// slot for kLongDataStallMs (it has stopped draining).
static DWORD modLoadLongPacket(HardwareInstance* pInstance, PortStream* pStream, DWORD dwPacket,
                               BYTE cBytes) {
    DWORD dwStallStart = 0;
    DWORD iReadSeen = 0;
    DWORD cAttempts = 0;
    for (;;) {
        DWORD dwResult = modLoadMidiData2FIFO(pInstance, pStream, dwPacket, cBytes);
        if (dwResult != MIDIERR_NOTREADY) return dwResult;

        // GetTickCount, not timeGetTime: the bound is real time even when a
        // test drives the multimedia clock by hand.
        DWORD dwNow = GetTickCount();
        DWORD iRead = ReadIndexOfStream(pStream);
        if (cAttempts == 0 || iRead != iReadSeen) {
            dwStallStart = dwNow;  // the consumer moved: the wait starts again
            iReadSeen = iRead;
            cAttempts = 1;
        } else if (dwNow - dwStallStart >= kLongDataStallMs) {
            return MMSYSERR_ERROR;
        } else {
            ++cAttempts;
        }
        if (cAttempts <= kLongDataSpinAttempts) {
            SwitchToThread();
        } else {
            Sleep(1);
        }
    }
}

DWORD modSendData(UINT port, OutputClient* pClient, const BYTE* pData, DWORD cbData) {
    if (cbData == 0) return MMSYSERR_NOERROR;
    HardwareInstance* pInstance = pClient->pInstance;
    PortStream* pStream = &pInstance->aStreams[kStreamOutA + port];

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

    DWORD dwResult = MMSYSERR_NOERROR;
    for (DWORD i = 0; i < cbData; ++i) {
        const BYTE b = pData[i];
        if (IsChannelStatus(b) || IsSystemCommonStatus(b)) {
            pClient->bRunningStatus = IsChannelStatus(b) ? b : 0;
            fPacketHasStatus = TRUE;
            bPacketStatus = pClient->bRunningStatus;
        }
        dwPacket |= static_cast<DWORD>(b) << (8 * cb);
        ++cb;
        if (cb == 3 || i + 1 == cbData || b == 0xF7) {
            dwResult = modLoadLongPacket(pInstance, pStream, dwPacket, cb);
            if (dwResult != MMSYSERR_NOERROR) {
                pInstance->abLastStatus[port] = 0;
                return dwResult;  // the rest of the buffer is not sent
            }
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
}
