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

MidiFifo* BlockOfStream(PortStream* pStream, HardwareInstance* pInstance) {
    return FifoBlock(RegionOfStream(pStream, pInstance), pInstance->dwDevNode);
}

BlockMarks* MarksOfBlock(PortStream* pStream, HardwareInstance* pInstance) {
    UINT iStream = StreamIndex(pStream, pInstance);
    if (iStream != kStreamOutA && iStream != kStreamOutB) return nullptr;
    return &SharedDataOfSystem()->aMarks[iStream - kStreamOutA][pInstance->dwDevNode];
}

// The bit of a holder's dwBlocks for the stream's output block; 0 for the
// input block, which only this process uses.
static DWORD BlockBit(PortStream* pStream, HardwareInstance* pInstance) {
    UINT iStream = StreamIndex(pStream, pInstance);
    if (iStream != kStreamOutA && iStream != kStreamOutB) return 0;
    return 1u << ((iStream - kStreamOutA) * kDevNodes + pInstance->dwDevNode);
}

BOOL AllocateFIFO(PortStream* pStream, HardwareInstance* pInstance) {
    // Under the lock: two processes opening the same output port at once
    // must not both find cRef 0 and both initialise a block the other
    // already uses.
    CriticalSection(kCsEnter, pInstance);
    // A process counts in an output block's cRef once, with its record, so
    // that its share can be given back should it die holding the block.
    DWORD dwBit = BlockBit(pStream, pInstance);
    HolderRecord* pHolder = dwBit != 0 ? HolderOfProcess(TRUE) : nullptr;
    if (dwBit != 0 && pHolder == nullptr) {
        CriticalSection(kCsLeave, pInstance);
        return 0;  // every record is a live process's
    }
    if (pStream->pFifoBase == nullptr) {
        MidiFifo* pFifo = BlockOfStream(pStream, pInstance);
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
    if (pHolder == nullptr || !(pHolder->dwBlocks & dwBit)) {
        pFifo->cRef = pFifo->cRef + 1;
        if (pHolder != nullptr) pHolder->dwBlocks |= dwBit;
    }
    CriticalSection(kCsLeave, pInstance);
    return 1;
}

BOOL FreeFIFO(PortStream* pStream, HardwareInstance* pInstance) {
    if (pStream->pFifoBase == nullptr) return 0;
    CriticalSection(kCsEnter, pInstance);
    DWORD dwBit = BlockBit(pStream, pInstance);
    HolderRecord* pHolder = dwBit != 0 ? HolderOfProcess(FALSE) : nullptr;
    BOOL fCounted = dwBit == 0 || (pHolder != nullptr && (pHolder->dwBlocks & dwBit));
    // A count already at 0 stays there: a block is never counted below its users.
    if (fCounted && pStream->pFifo->cRef != 0) pStream->pFifo->cRef = pStream->pFifo->cRef - 1;
    if (pHolder != nullptr) {
        pHolder->dwBlocks &= ~dwBit;
        // Long data of this process cannot go on without the block.
        BlockMarks* pMarks = MarksOfBlock(pStream, pInstance);
        if (pMarks->dwLongData == HolderNumberOfProcess()) pMarks->dwLongData = 0;
        ForgetHolderIfIdle();
    }
    pStream->pFifo = nullptr;
    pStream->pFifoBase = nullptr;
    CriticalSection(kCsLeave, pInstance);
    return 1;
}
