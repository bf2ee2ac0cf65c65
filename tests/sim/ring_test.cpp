// The kernel side's ring access on a block in this process: the ring rules
// and what happens with indices a damaged header holds.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/sim.h"

namespace {

struct Block {
    MidiFifo f;
    Block() {
        std::memset(reinterpret_cast<void*>(&f), 0, sizeof f);
        f.dwMagic = MIDI_FIFO_MAGIC;
        f.cbHeader = kFifoHeaderBytes;
        f.cRef = 1;
        f.cdwSize = kFifoWords;
        f.iWrite = f.iRead = kFifoFirstSlot;
    }
};

TEST(SimRing, PutFillsEverySlotThenRefusesAndTakeFreesExactlyOne) {
    Block b;
    for (uint32_t i = 0; i < kFifoSlots; ++i)
        ASSERT_TRUE(sim::RingPut(&b.f, 0x01000000 | i)) << i;
    EXPECT_EQ(b.f.iWrite, kFifoFirstSlot);  // wrapped after 1023
    EXPECT_TRUE(sim::RingFull(&b.f));
    EXPECT_FALSE(sim::RingPut(&b.f, 0x01000099));
    EXPECT_EQ(FifoSlot(&b.f, kFifoFirstSlot), 0x01000000u);  // not overwritten

    uint32_t pk = 0;
    ASSERT_TRUE(sim::RingTake(&b.f, &pk));
    EXPECT_EQ(pk, 0x01000000u);
    EXPECT_EQ(b.f.iRead, kFifoFirstSlot + 1);
    EXPECT_TRUE(sim::RingPut(&b.f, 0x01000099));
    EXPECT_FALSE(sim::RingPut(&b.f, 0x0100009A));
    EXPECT_EQ(FifoSlot(&b.f, kFifoFirstSlot), 0x01000099u);
    EXPECT_EQ(b.f.dwMagic, MIDI_FIFO_MAGIC);  // header untouched
    EXPECT_EQ(b.f.cRef, 1u);
}

TEST(SimRing, TakeStopsAtASlotWhoseTopByteIsZero) {
    Block b;
    FifoSlot(&b.f, 6) = 0x00403C90;  // bytes but no count: not a packet
    uint32_t pk = 0;
    EXPECT_FALSE(sim::RingTake(&b.f, &pk));
    EXPECT_EQ(b.f.iRead, 6u);
    EXPECT_EQ(FifoSlot(&b.f, 6), 0x00403C90u);
}

TEST(SimRing, IndicesOutsideTheSlotsAreReadAsTheFirstSlot) {
    // A header scribbled over by a faulty driver must not send the kernel
    // side outside the block.
    for (uint32_t bad : {0u, 5u, 1024u, 0xFFFFFFFFu}) {
        Block b;
        b.f.iRead = b.f.iWrite = bad;
        ASSERT_TRUE(sim::RingPut(&b.f, 0x01000042));
        EXPECT_EQ(FifoSlot(&b.f, 6), 0x01000042u) << bad;
        EXPECT_EQ(b.f.iWrite, 7u) << bad;
        uint32_t pk = 0;
        ASSERT_TRUE(sim::RingTake(&b.f, &pk));
        EXPECT_EQ(pk, 0x01000042u);
        EXPECT_EQ(b.f.iRead, 7u) << bad;
    }
}

}  // namespace
