// Both ends of the ring rules, as the kernel side plays them: consumer of
// output blocks, producer of input blocks. The driver works on the same block
// from another process, so every word is read and written atomically.
#include "sim/sim.h"

namespace sim {
namespace {

uint32_t Load(const volatile uint32_t* p) {
    return __atomic_load_n(const_cast<const uint32_t*>(p), __ATOMIC_ACQUIRE);
}
void Store(volatile uint32_t* p, uint32_t v) {
    __atomic_store_n(const_cast<uint32_t*>(p), v, __ATOMIC_RELEASE);
}

// A block's index as the driver left it, kept inside the slots so a damaged
// header never makes the kernel side touch memory outside the block.
uint32_t Index(const volatile uint32_t* p, uint32_t cdwSize) {
    uint32_t i = Load(p);
    return FifoIndexInSlots(i, cdwSize) ? i : kFifoFirstSlot;
}

}  // namespace

bool RingTake(MidiFifo* fifo, uint32_t* packet) {
    uint32_t cdwSize = Load(&fifo->cdwSize);
    uint32_t i = Index(&fifo->iRead, cdwSize);
    uint32_t v = Load(&FifoSlot(fifo, i));
    if (!FifoPacketPresent(v)) return false;
    Store(&FifoSlot(fifo, i), 0);
    Store(&fifo->iRead, FifoNextIndex(i, cdwSize));
    *packet = v;
    return true;
}

bool RingPut(MidiFifo* fifo, uint32_t packet) {
    uint32_t cdwSize = Load(&fifo->cdwSize);
    uint32_t i = Index(&fifo->iWrite, cdwSize);
    if (Load(&FifoSlot(fifo, i)) != 0) return false;
    Store(&FifoSlot(fifo, i), packet);
    Store(&fifo->iWrite, FifoNextIndex(i, cdwSize));
    return true;
}

bool RingEmpty(const MidiFifo* fifo) {
    auto* f = const_cast<MidiFifo*>(fifo);
    return !FifoPacketPresent(Load(&FifoSlot(f, Index(&f->iRead, Load(&f->cdwSize)))));
}

bool RingFull(const MidiFifo* fifo) {
    auto* f = const_cast<MidiFifo*>(fifo);
    return Load(&FifoSlot(f, Index(&f->iWrite, Load(&f->cdwSize)))) != 0;
}

}  // namespace sim
