// The timer callback of every open input client: empties the instance's input
// ring and hands each byte, with the input port it arrived on, to the parser.
#include "hwlink/hwlink.h"
#include "midiin/midiin.h"

// dwUser is the instance. The lock is held across the whole drain, callbacks
// included; the ring itself needs no lock (one producer, one consumer).
void CALLBACK mmTimerIntr(UINT /*uTimerID*/, UINT /*uMsg*/, DWORD_PTR dwUser, DWORD_PTR /*dw1*/,
                          DWORD_PTR /*dw2*/) {
    HardwareInstance* pInstance = reinterpret_cast<HardwareInstance*>(dwUser);
    CriticalSection(kCsEnter, pInstance);
    PortStream* pStream = &pInstance->aStreams[kStreamIn];
    MidiFifo* pFifo = pStream->pFifo;
    if (pStream->cOpen != 0 && pFifo != nullptr && pFifo->dwMagic != 0) {
        // The block is memory the kernel side also writes: an end beyond the
        // block or a read index outside the slots is never followed.
        DWORD cdwSize = pFifo->cdwSize;
        for (;;) {
            DWORD iRead = pFifo->iRead;
            if (!FifoIndexInSlots(iRead, cdwSize)) iRead = kFifoFirstSlot;
            DWORD dwPacket = FifoSlot(pFifo, iRead);
            if (!FifoPacketPresent(dwPacket)) break;
            // Empty the slot and move on before parsing, so a callback that
            // runs long never holds up the producer on this slot.
            FifoSlot(pFifo, iRead) = 0;
            pFifo->iRead = FifoNextIndex(iRead, cdwSize);
            DWORD cBytes = FifoPacketCount(dwPacket);
            DWORD port = FifoPacketPort(dwPacket);
            for (DWORD i = 0; i < cBytes; ++i) {
                midByteRec(port, pInstance, (dwPacket >> (8 * i)) & 0xFF);
            }
        }
    }
    CriticalSection(kCsLeave, pInstance);
}
