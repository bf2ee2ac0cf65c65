// The byte parser of input: one per started client of a port. Short messages,
// single-byte system messages and real-time bytes become MIM_DATA, bytes that
// fit no message MIM_ERROR, and system-exclusive bytes fill the client's
// queued buffers, each returned with MIM_LONGDATA.
//
// Runs on the timer thread with the lock held, and records its notifications
// for delivery after the lock is given back (drain.cpp): no callback runs
// while a byte is being parsed.
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

void Notify(InputClient* pClient, WORD uMsg, DWORD_PTR dwParam1, DWORD dwParam2) {
    midRecordNotice(pClient, uMsg, dwParam1, dwParam2);
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

}  // namespace

void midByteRec(DWORD port, HardwareInstance* pInstance, DWORD dwByte) {
    if (port > 1) return;
    BYTE bByte = static_cast<BYTE>(dwByte);
    DWORD dwNow = timeGetTime();
    for (InputClient* pClient = pInstance->apInClients[port]; pClient; pClient = pClient->pNext) {
        if (!(pClient->bState & kInStarted)) continue;
        DWORD t = dwNow - pClient->dwStartTime;
        if (bByte >= 0xF8) {
            // Real-time: delivered at once, whatever is under way.
            Notify(pClient, MIM_DATA, bByte, t);
        } else if (bByte & 0x80) {
            midStatusRec(pClient, bByte, t);
        } else {
            midDataRec(pClient, bByte, t);
        }
    }
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
