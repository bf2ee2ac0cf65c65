// The byte parser of input: one per started client of a port. Short messages,
// single-byte system messages and real-time bytes become MIM_DATA, bytes that
// fit no message MIM_ERROR, and system-exclusive bytes fill the client's
// queued buffers, each returned with MIM_LONGDATA.
//
// Runs on the timer thread with the lock held, over the drain's batch of
// packets, and records its notifications for delivery after the lock is
// given back (drain.cpp): no callback runs while a byte is being parsed.
// Every byte of a batch carries the time the drain took the batch out of the
// ring: the packets it holds were waiting there together.
#include "devices/devices.h"
#include "midiin/midiin.h"

namespace {

DWORD ShortMsgWord(const InputClient* pClient) {
    return static_cast<DWORD>(pClient->abShortMsg[0]) |
           (static_cast<DWORD>(pClient->abShortMsg[1]) << 8) |
           (static_cast<DWORD>(pClient->abShortMsg[2]) << 16) |
           (static_cast<DWORD>(pClient->abShortMsg[3]) << 24);
}

void ClearShortMsg(InputClient* pClient) {
    for (BYTE& b : pClient->abShortMsg)
        b = 0;
}

// A notification of the byte being parsed. The parse leaves room for two
// before every byte.
void Notify(InputClient* pClient, WORD uMsg, DWORD_PTR dwParam1, DWORD dwParam2) {
    MidiNotice& n = pClient->aPending[pClient->cPending++];
    n.dwParam1 = dwParam1;
    n.dwParam2 = dwParam2;
    n.uMsg = uMsg;
    n.wPos = pClient->wPos;
}

// A status byte 0x80..0xF7; t is the byte's time on the client's time base.
void midStatusRec(InputClient* pClient, BYTE bByte, DWORD t) {
    if (pClient->fInSysex) {
        pClient->fInSysex = 0;
        midBufferWrite(pClient, bByte);
        if (bByte == 0xF7) return;
        if (bByte == 0xF0) {
            // A new exclusive message right after an unfinished one: its F0 is
            // already in the buffer, once, as the wire carried it.
            pClient->dwMsgTime = t;
            pClient->bRunningStatus = 0;
            pClient->fInSysex = 1;
            pClient->bIndex = 0;
            return;
        }
    }
    if (pClient->abShortMsg[0] != 0) {
        DWORD dwPartial = ShortMsgWord(pClient);
        ClearShortMsg(pClient);
        Notify(pClient, MIM_ERROR, dwPartial, pClient->dwMsgTime);
    }
    pClient->dwMsgTime = t;
    if (bByte < 0xF0) {
        pClient->bRunningStatus = bByte;
        pClient->abShortMsg[0] = bByte;
        pClient->bIndex = 1;
        pClient->bRemaining = static_cast<BYTE>(gabMsgLenChannel[(bByte >> 4) - 8] - 1);
        return;
    }
    pClient->bRunningStatus = 0;
    switch (bByte) {
        case 0xF0:
            pClient->fInSysex = 1;
            pClient->bIndex = 0;
            midBufferWrite(pClient, bByte);
            break;
        case 0xF1:
        case 0xF3:
            pClient->abShortMsg[0] = bByte;
            pClient->bRemaining = 1;
            pClient->bIndex = 1;
            break;
        case 0xF2:
            pClient->abShortMsg[0] = bByte;
            pClient->bRemaining = 2;
            pClient->bIndex = 1;
            break;
        case 0xF7:
            pClient->bIndex = 0;
            Notify(pClient, MIM_ERROR, bByte, pClient->dwMsgTime);
            break;
        default:  // 0xF4, 0xF5, 0xF6: complete in themselves
            pClient->bIndex = 0;
            Notify(pClient, MIM_DATA, bByte, pClient->dwMsgTime);
            break;
    }
}

void midDataRec(InputClient* pClient, BYTE bByte, DWORD t) {
    if (pClient->fInSysex) {
        midBufferWrite(pClient, bByte);
        return;
    }
    if (pClient->bIndex == 0) {
        Notify(pClient, MIM_ERROR, bByte, pClient->dwMsgTime);
        return;
    }
    if (pClient->bRunningStatus != 0 && pClient->bIndex == 1) {
        // The first data byte of a message: it refills the status under
        // running status and stamps the message.
        pClient->abShortMsg[0] = pClient->bRunningStatus;
        pClient->dwMsgTime = t;
    }
    pClient->abShortMsg[pClient->bIndex] = bByte;
    ++pClient->bIndex;
    --pClient->bRemaining;
    if (pClient->bRemaining != 0) return;
    DWORD dwMsg = ShortMsgWord(pClient);
    ClearShortMsg(pClient);
    if (pClient->bRunningStatus != 0) {
        pClient->bRemaining = static_cast<BYTE>(pClient->bIndex - 1);
        pClient->bIndex = 1;
    } else {
        pClient->bIndex = 0;
    }
    Notify(pClient, MIM_DATA, dwMsg, pClient->dwMsgTime);
}

// One byte for one started client, t its time on the client's time base.
void midParseByte(InputClient* pClient, BYTE bByte, DWORD t) {
    if (bByte >= 0xF8) {
        // Real-time: delivered at once, whatever is under way.
        Notify(pClient, MIM_DATA, bByte, t);
    } else if (bByte & 0x80) {
        midStatusRec(pClient, bByte, t);
    } else {
        midDataRec(pClient, bByte, t);
    }
}

// A byte that goes into (or ends) a queued buffer: an exclusive message's
// start, and every byte but real-time inside one.
BOOL NeedsBuffer(const InputClient* pClient, BYTE bByte) {
    return bByte == 0xF0 || (pClient->fInSysex && bByte < 0xF8);
}

// The high bits of a packet's data bytes: of the bytes after the first
// (a packet that starts with a status byte), and of all of them.
constexpr DWORD kHighAfterFirst[4] = {0, 0, 0x8000, 0x808000};
constexpr DWORD kHighOfAll[4] = {0, 0x80, 0x8080, 0x808080};
constexpr DWORD kBytesOf[4] = {0, 0xFF, 0xFFFF, 0xFFFFFF};

// Packets that each complete one channel message, as the interface sends
// most of them, parsed whole while the client holds nothing under way: a
// status and its data bytes, or under running status the data bytes alone.
// Leaves the state as parsing them byte by byte would (kept in locals
// meanwhile), and answers the position of the first packet that is not such
// a one, or where the room for notifications ran out.
DWORD ParseWholeMessages(const HardwareInstance* pInstance, InputClient* pClient, DWORD port,
                         DWORD iPos, const DWORD iEnd, const DWORD t) {
    if (pClient->fInSysex || pClient->abShortMsg[0] != 0) return iPos;
    BYTE bRunning = pClient->bRunningStatus;
    BYTE bIndex = pClient->bIndex;
    BYTE bRemaining = pClient->bRemaining;
    const DWORD cPendingBefore = pClient->cPending;
    DWORD cPending = cPendingBefore;
    for (; iPos < iEnd && cPending <= kPendingSlots - 2; iPos += 4) {
        const DWORD dwPacket = pInstance->adwInBatch[iPos / 4];
        const DWORD cBytes = FifoPacketCount(dwPacket);
        if (FifoPacketPort(dwPacket) != port) continue;
        const BYTE bFirst = static_cast<BYTE>(dwPacket);
        DWORD dwMsg;
        if (bFirst >= 0x80) {
            if (bFirst >= 0xF0 || cBytes != gabMsgLenChannel[(bFirst >> 4) - 8] ||
                (dwPacket & kHighAfterFirst[cBytes]) != 0)
                break;
            bRunning = bFirst;
            bIndex = 1;
            bRemaining = static_cast<BYTE>(cBytes - 1);
            dwMsg = dwPacket & kBytesOf[cBytes];
        } else {
            if (bRunning == 0 || bIndex != 1 || cBytes != bRemaining ||
                (dwPacket & kHighOfAll[cBytes]) != 0)
                break;
            dwMsg = bRunning | ((dwPacket & kBytesOf[cBytes]) << 8);
        }
        MidiNotice& n = pClient->aPending[cPending++];
        n.dwParam1 = dwMsg;
        n.dwParam2 = t;
        n.uMsg = MIM_DATA;
        n.wPos = static_cast<WORD>(iPos + cBytes - 1);
    }
    if (cPending != cPendingBefore) {
        pClient->bRunningStatus = bRunning;
        pClient->bIndex = bIndex;
        pClient->bRemaining = bRemaining;
        pClient->dwMsgTime = t;
        pClient->cPending = cPending;
    }
    return iPos;
}

// A whole packet of data bytes inside an exclusive message, stored at once
// when the head buffer has room for all of them and more (so that none of
// them fills it), or dropped with the message when no buffer is queued.
// The client must have no notification waiting (a callback may yet queue
// the buffer they go into). FALSE when the packet is not such a one.
BOOL ParseExclusiveData(InputClient* pClient, DWORD dwPacket, DWORD iPos) {
    const DWORD cBytes = FifoPacketCount(dwPacket);
    if (!pClient->fInSysex || cBytes == 0 || (dwPacket & kHighOfAll[cBytes]) != 0 ||
        pClient->cPending != 0 || pClient->cNotices != 0)
        return FALSE;
    MIDIHDR* pHdr = pClient->pQueue;
    if (pHdr != nullptr) {
        if (pClient->cbLong + cBytes >= pHdr->dwBufferLength) return FALSE;
        for (DWORD i = 0; i < cBytes; ++i)
            pHdr->lpData[pClient->cbLong++] = static_cast<char>(dwPacket >> (8 * i));
    }
    pClient->iSettled = iPos + 4;
    return TRUE;
}

// One packet from the byte at iPos on, byte by byte. Answers the position of
// the next packet, or of the byte that must wait: for room for
// notifications, or for the client's notifications to be delivered before a
// byte that needs a buffer (a callback may queue the buffer it goes into).
DWORD ParseBytes(InputClient* pClient, DWORD dwPacket, DWORD iPos, const DWORD t) {
    const DWORD cBytes = FifoPacketCount(dwPacket);
    for (; iPos % 4 < cBytes; ++iPos) {
        BYTE bByte = static_cast<BYTE>(dwPacket >> (8 * (iPos % 4)));
        if (pClient->cPending > kPendingSlots - 2) return iPos;
        BOOL fBuffer = NeedsBuffer(pClient, bByte);
        if (fBuffer && (pClient->cPending != 0 || pClient->cNotices != 0)) return iPos;
        pClient->wPos = static_cast<WORD>(iPos);
        midParseByte(pClient, bByte, t);
        // What went into a buffer stays there: a restart never parses it again.
        if (fBuffer) pClient->iSettled = iPos + 1;
    }
    return (iPos | 3) + 1;
}

}  // namespace

BOOL midParseClient(HardwareInstance* pInstance, InputClient* pClient, DWORD port) {
    const DWORD iEnd = pInstance->cInBatch * 4;
    const DWORD iStart = pClient->iParsed;
    // A batch taken before the client's last start counts from that start.
    const DWORD dwSince = pInstance->dwInBatchTime - pClient->dwStartTime;
    const DWORD t = static_cast<LONG>(dwSince) < 0 ? 0 : dwSince;
    DWORD iPos = iStart;
    while (iPos < iEnd) {
        if (iPos % 4 == 0) {
            iPos = ParseWholeMessages(pInstance, pClient, port, iPos, iEnd, t);
            if (iPos == iEnd) break;
        }
        const DWORD dwPacket = pInstance->adwInBatch[iPos / 4];
        if (FifoPacketPort(dwPacket) != port) {
            iPos = (iPos | 3) + 1;
            continue;
        }
        const DWORD iNextPacket = (iPos | 3) + 1;
        if (iPos % 4 == 0 && ParseExclusiveData(pClient, dwPacket, iPos)) {
            iPos = iNextPacket;
            continue;
        }
        const DWORD iNext = ParseBytes(pClient, dwPacket, iPos, t);
        if (iNext != iNextPacket) {  // a byte waits
            iPos = iNext;
            break;
        }
        iPos = iNext;
    }
    pClient->iParsed = iPos;
    return iPos != iStart;
}

void midBufferWrite(InputClient* pClient, BYTE bByte) {
    MIDIHDR* pHdr = pClient->pQueue;
    if (pHdr == nullptr) return;
    if (bByte < 0x80 || bByte == 0xF0 || bByte == 0xF7) {
        // Queued buffers hold at least one byte (MIDM_ADDBUFFER refuses
        // empty ones), so the head always has room here.
        if (pClient->cbLong < pHdr->dwBufferLength) pHdr->lpData[pClient->cbLong++] = bByte;
        if (bByte != 0xF7 && pClient->cbLong < pHdr->dwBufferLength) return;
    }
    pClient->pQueue = pHdr->lpNext;
    pHdr->dwBytesRecorded = pClient->cbLong;
    pClient->cbLong = 0;
    pHdr->dwFlags = (pHdr->dwFlags | MHDR_DONE) & ~static_cast<DWORD>(MHDR_INQUEUE);
    Notify(pClient, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(pHdr), pClient->dwMsgTime);
}
