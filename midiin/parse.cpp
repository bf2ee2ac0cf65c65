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

// The bytes a packet of cBytes holds (those beyond are not the packet's),
// and the high bits of its data bytes: of the bytes after the first (a
// packet that starts with a status byte), and of all of them.
constexpr DWORD BytesOf(DWORD cBytes) {
    return (1u << (8 * cBytes)) - 1;
}
constexpr DWORD kHighAfterFirst = 0x808000;
constexpr DWORD kHighOfAll = 0x808080;

// Packets that each make one notification whole, as the interface sends
// most of them: a real-time byte alone (whatever is under way), and while
// the client holds nothing under way, a channel message with its status, or
// under running status its data bytes alone. Leaves the state as parsing
// them byte by byte would (kept in locals meanwhile), and answers the
// position of the first packet that is not such a one, or where the room
// for notifications ran out.
DWORD ParseWholePackets(const HardwareInstance* pInstance, InputClient* pClient, DWORD port,
                        DWORD iPos, const DWORD iEnd, const DWORD t) {
    const BOOL fIdle = !pClient->fInSysex && pClient->abShortMsg[0] == 0;
    BYTE bRunning = pClient->bRunningStatus;
    // The data bytes of a message under running status; 0 none.
    DWORD cRunning = bRunning != 0 && pClient->bIndex == 1 ? pClient->bRemaining : 0;
    BOOL fMessages = FALSE;  // channel messages parsed
    MidiNotice* pNotice = &pClient->aPending[pClient->cPending];
    MidiNotice* const pNoticeLast = &pClient->aPending[kPendingSlots - 1];  // room for two more
    const DWORD* const pFirstPacket = pInstance->adwInBatch;
    const DWORD* pPacket = pFirstPacket + iPos / 4;
    const DWORD* const pEnd = pFirstPacket + iEnd / 4;
    for (; pPacket != pEnd && pNotice < pNoticeLast; ++pPacket) {
        const DWORD dwPacket = *pPacket;
        if (FifoPacketPort(dwPacket) != port) continue;
        const DWORD cBytes = FifoPacketCount(dwPacket);
        const DWORD dwBytes = dwPacket & BytesOf(cBytes);
        DWORD dwMsg = dwBytes;
        if (cBytes == 1 && dwBytes >= 0xF8) {
            // Real-time: delivered at once, whatever is under way.
        } else if (!fIdle) {
            break;
        } else if (dwBytes & 0x80) {
            if ((dwBytes & 0xF0) == 0xF0 || (dwBytes & kHighAfterFirst) != 0 ||
                cBytes != gabMsgLenChannel[((dwBytes >> 4) & 0x0F) - 8])
                break;
            bRunning = static_cast<BYTE>(dwBytes);
            cRunning = cBytes - 1;
            fMessages = TRUE;
        } else {
            if (cRunning == 0 || cBytes != cRunning || (dwBytes & kHighOfAll) != 0) break;
            dwMsg = bRunning | (dwBytes << 8);
            fMessages = TRUE;
        }
        pNotice->dwParam1 = dwMsg;
        pNotice->dwParam2 = t;
        pNotice->uMsg = MIM_DATA;
        pNotice->wPos = static_cast<WORD>((pPacket - pFirstPacket) * 4 + cBytes - 1);
        ++pNotice;
    }
    if (fMessages) {
        pClient->bRunningStatus = bRunning;
        pClient->bIndex = 1;
        pClient->bRemaining = static_cast<BYTE>(cRunning);
        pClient->dwMsgTime = t;
    }
    pClient->cPending = static_cast<DWORD>(pNotice - pClient->aPending);
    return static_cast<DWORD>(pPacket - pFirstPacket) * 4;
}

// A whole packet of data bytes inside an exclusive message, stored at once
// when the head buffer has room for all of them and more (so that none of
// them fills it), or dropped with the message when no buffer is queued.
// The client must have no notification waiting (a callback may yet queue
// the buffer they go into). FALSE when the packet is not such a one.
BOOL ParseExclusiveData(InputClient* pClient, DWORD dwPacket, DWORD iPos) {
    const DWORD cBytes = FifoPacketCount(dwPacket);
    if (!pClient->fInSysex || cBytes == 0 || (dwPacket & BytesOf(cBytes) & kHighOfAll) != 0 ||
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
            iPos = ParseWholePackets(pInstance, pClient, port, iPos, iEnd, t);
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
    midRecordNotice(pClient, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(pHdr), pClient->dwMsgTime);
}
