// FIFO blocks: which block a stream uses, and how a process starts and stops
// using it. A block is initialised only by the first process that takes it.
#include "hwlink/hwlink.h"

MidiFifo* FifoBlock(DWORD* pRegion, DWORD dwDevNode) {
    return reinterpret_cast<MidiFifo*>(pRegion + dwDevNode * kFifoWords);
}

UINT StreamIndex(const PortStream* pStream, const HardwareInstance* pInstance) {
    for (UINT i = 0; i < kStreamCount; ++i)
        if (pStream == &pInstance->aStreams[i]) return i;
    return kStreamCount;
}

// The region of a stream follows from which of the instance's streams it is.
static DWORD* RegionOfStream(PortStream* pStream, HardwareInstance* pInstance) {
    switch (StreamIndex(pStream, pInstance)) {
        case kStreamOutA:
            return SharedDataOfSystem()->adwOut1MidiFifo;
        case kStreamOutB:
            return SharedDataOfSystem()->adwOut2MidiFifo;
        case kStreamIn:
        default:
            return InputRegionOfProcess();
    }
}

DWORD* StoppingMarkOfBlock(PortStream* pStream, HardwareInstance* pInstance) {
    UINT iStream = StreamIndex(pStream, pInstance);
    if (iStream != kStreamOutA && iStream != kStreamOutB) return nullptr;
    return &SharedDataOfSystem()->adwStoppingProcess[iStream - kStreamOutA][pInstance->dwDevNode];
}

BOOL AllocateFIFO(PortStream* pStream, HardwareInstance* pInstance) {
    // Under the lock: two processes opening the same output port at once
    // must not both find cRef 0 and both initialise a block the other
    // already uses.
    CriticalSection(kCsEnter, pInstance);
    if (pStream->pFifoBase == nullptr) {
        MidiFifo* pFifo = FifoBlock(RegionOfStream(pStream, pInstance), pInstance->dwDevNode);
        pStream->pFifo = pFifo;
        pStream->pFifoBase = pFifo;
    }
    MidiFifo* pFifo = pStream->pFifo;
    if (pFifo->cRef == 0) {
        pFifo->dwMagic = 0;
        for (DWORD i = kFifoFirstSlot; i < kFifoWords; ++i)
            FifoSlot(pFifo, i) = 0;
        pFifo->cbHeader = kFifoHeaderBytes;
        pFifo->cdwSize = kFifoWords;
        pFifo->iWrite = kFifoFirstSlot;
        pFifo->iRead = kFifoFirstSlot;
        pFifo->dwMagic = MIDI_FIFO_MAGIC;  // last: the block is usable from here on
    }
    pFifo->cRef = pFifo->cRef + 1;
    CriticalSection(kCsLeave, pInstance);
    return 1;
}

BOOL FreeFIFO(PortStream* pStream, HardwareInstance* pInstance) {
    if (pStream->pFifoBase == nullptr) return 0;
    CriticalSection(kCsEnter, pInstance);
    // A count already at 0 stays there: a block is never counted below its users.
    if (pStream->pFifo->cRef != 0) pStream->pFifo->cRef = pStream->pFifo->cRef - 1;
    pStream->pFifo = nullptr;
    pStream->pFifoBase = nullptr;
    CriticalSection(kCsLeave, pInstance);
    return 1;
}
