// The rings of streaming blocks: the kernel side as consumer of output
// blocks (order, wrap, pace, capture) and producer of input blocks (fan-out,
// packets, a full ring, loopback).
#include <algorithm>
#include <map>

#include "tests/sim/sim_test.h"

namespace {

using simtest::BlockMemory;
using simtest::Consume;
using simtest::DeviceConnection;
using simtest::Load;
using simtest::Produce;
using simtest::Reaches;

// One simulator on node 0, one connection, blocks in one memory.
struct Rig {
    explicit Rig(const std::string& args) : sim(args), mem(8 * kFifoBlockBytes) {
        EXPECT_TRUE(mem.ok());
        EXPECT_TRUE(conn.Open(vt::TestRoot(), 0));
    }
    MidiFifo* Start(uint32_t pipe, unsigned block, uint32_t index = kFifoFirstSlot) {
        MidiFifo* f = mem.Init(block * kFifoBlockBytes, index);
        EXPECT_EQ(conn.Start(pipe, mem, block * kFifoBlockBytes).reply.fPending, 1u);
        return f;
    }
    // What another process streaming input does: a second connection starts
    // input into its own block.
    MidiFifo* StartSecondInput(unsigned block) {
        EXPECT_TRUE(second.Open(vt::TestRoot(), 0));
        MidiFifo* f = mem.Init(block * kFifoBlockBytes);
        EXPECT_EQ(second.Start(kPipeIn, mem, block * kFifoBlockBytes).reply.fPending, 1u);
        return f;
    }
    uint64_t Stat(const char* key) { return sim.Stats(0)[key]; }
    vt::Simulator sim;
    BlockMemory mem;
    DeviceConnection conn;
    DeviceConnection second;
};

std::vector<uint32_t> Slots(MidiFifo* f) {
    std::vector<uint32_t> v;
    for (uint32_t i = kFifoFirstSlot; i < kFifoWords; ++i)
        v.push_back(Load(FifoSlot(f, i)));
    return v;
}

std::vector<uint32_t> DrainAll(MidiFifo* f) {
    std::vector<uint32_t> out;
    uint32_t pk;
    while (Consume(f, &pk))
        out.push_back(pk);
    return out;
}

TEST(SimOutput, DrainedInOrderAcrossTheWrap) {
    Rig r("--nodes 0 --rate fast --no-loopback");
    MidiFifo* f = r.Start(kPipeOutA, 0, 1020);
    std::vector<uint32_t> sent;
    for (uint32_t i = 0; i < 10; ++i) {
        uint32_t pk = FifoPacket(0x00400090 | (i << 8), 3, 0);
        ASSERT_TRUE(Produce(f, pk));
        sent.push_back(pk);
    }
    ASSERT_TRUE(Reaches(r.sim, "drained_out_a", 10));
    EXPECT_EQ(Load(f->iRead), 12u);  // 1020..1023, then 6..11
    EXPECT_EQ(Load(f->iWrite), 12u);
    for (uint32_t v : Slots(f))
        ASSERT_EQ(v, 0u);
    EXPECT_EQ(r.sim.CapturePackets(0, 'A'), sent);
    EXPECT_TRUE(r.sim.CapturePackets(0, 'A').empty());  // capture forgets
    EXPECT_TRUE(r.sim.CapturePackets(0, 'B').empty());
    EXPECT_EQ(r.Stat("drained_out_b"), 0u);
}

TEST(SimOutput, CaptureShowsBytesOrPacketsAndForgetsEither) {
    Rig r("--nodes 0 --rate fast --no-loopback");
    MidiFifo* f = r.Start(kPipeOutB, 1);
    ASSERT_TRUE(Produce(f, 0x03403C90));
    ASSERT_TRUE(Produce(f, 0x0200403E));  // running status: two bytes
    ASSERT_TRUE(Produce(f, 0x010000F8));
    ASSERT_TRUE(Reaches(r.sim, "drained_out_b", 3));
    EXPECT_EQ(vt::HexString(r.sim.CaptureBytes(0, 'B')), "90 3C 40 3E 40 F8");
    EXPECT_TRUE(r.sim.CapturePackets(0, 'B').empty());
    ASSERT_TRUE(Produce(f, 0x03403C80));
    ASSERT_TRUE(Reaches(r.sim, "drained_out_b", 4));
    EXPECT_EQ(r.sim.CapturePackets(0, 'B'), std::vector<uint32_t>{0x03403C80});
    EXPECT_TRUE(r.sim.CaptureBytes(0, 'B').empty());
}

TEST(SimOutput, PausedDrainsNothingUntilResumed) {
    Rig r("--nodes 0 --rate paused --no-loopback");
    MidiFifo* f = r.Start(kPipeOutA, 0);
    for (uint32_t i = 0; i < 5; ++i)
        ASSERT_TRUE(Produce(f, 0x010000F8));
    EXPECT_EQ(r.Stat("drained_out_a"), 0u);
    EXPECT_EQ(Load(f->iRead), 6u);
    EXPECT_EQ(Load(FifoSlot(f, 10)), 0x010000F8u);
    EXPECT_TRUE(r.sim.CaptureBytes(0, 'A').empty());
    r.sim.Ok("rate 0 fast");
    ASSERT_TRUE(Reaches(r.sim, "drained_out_a", 5));
    EXPECT_EQ(Load(f->iRead), 11u);
}

TEST(SimOutput, AFullRingIsDrainedWhole) {
    Rig r("--nodes 0 --rate paused --no-loopback");
    MidiFifo* f = r.Start(kPipeOutA, 0);
    uint32_t n = 0;
    while (Produce(f, FifoPacket(0x90 | ((n % 128) << 8), 2, 0)))
        ++n;
    ASSERT_EQ(n, kFifoSlots);
    r.sim.Ok("rate 0 fast");
    ASSERT_TRUE(Reaches(r.sim, "drained_out_a", kFifoSlots));
    std::vector<uint32_t> got = r.sim.CapturePackets(0, 'A');
    ASSERT_EQ(got.size(), kFifoSlots);
    for (uint32_t i = 0; i < kFifoSlots; ++i)
        ASSERT_EQ(got[i], FifoPacket(0x90 | ((i % 128) << 8), 2, 0)) << i;
}

TEST(SimOutput, ACaptureLargerThanTheSocketHoldsArrivesWhole) {
    // Hundreds of thousands of drained packets make an answer of megabytes:
    // the simulator has to keep sending for as long as the reader keeps
    // reading, however often the socket fills up on the way.
    Rig r("--nodes 0 --rate fast --no-loopback");
    MidiFifo* f = r.Start(kPipeOutA, 0);
    const uint32_t total = 300000;
    for (uint32_t i = 0; i < total;) {
        if (Produce(f, FifoPacket(0x90 | ((i % 128) << 8) | ((i / 128 % 128) << 16), 3, 0)))
            ++i;
        else  // full: room comes with the next packet drained
            ASSERT_TRUE(r.sim.Await(0, "drained_out_a", i - kFifoSlots + 1));
    }
    ASSERT_TRUE(Reaches(r.sim, "drained_out_a", total));
    std::vector<BYTE> bytes = r.sim.CaptureBytes(0, 'A');
    ASSERT_EQ(bytes.size(), 3u * total);
    for (uint32_t i = 0; i < total; ++i) {
        ASSERT_EQ(bytes[3 * i], 0x90) << i;
        ASSERT_EQ(bytes[3 * i + 1], i % 128) << i;
        ASSERT_EQ(bytes[3 * i + 2], i / 128 % 128) << i;
    }
}

TEST(SimInput, EveryPacketGoesToEveryInputBlockOfTheNode) {
    Rig r("--nodes 0 --rate fast");
    MidiFifo* a = r.Start(kPipeIn, 0);
    MidiFifo* b = r.StartSecondInput(1);
    r.sim.Ok("inject 0 A 90 3C 40");
    r.sim.Ok("inject 0 B 80 3C 00");
    r.sim.Ok("packet 0 0x2100007F");  // raw: written as it stands
    const std::vector<uint32_t> want{0x03403C90, 0x13003C80, 0x2100007F};
    EXPECT_EQ(DrainAll(a), want);
    EXPECT_EQ(DrainAll(b), want);
    auto st = r.sim.Stats(0);
    EXPECT_EQ(st["produced_in"], 3u);
    EXPECT_EQ(st["delivered_in"], 6u);
    EXPECT_EQ(st["dropped_in"], 0u);
    EXPECT_TRUE(r.conn.Completions().empty());
}

TEST(SimInput, InjectedBytesArriveAsInterfacePackets) {
    Rig r("--nodes 0 --rate fast");
    MidiFifo* f = r.Start(kPipeIn, 0);
    r.sim.Ok("inject 0 A 90 3C 40 3E 40 F0 01 02 F8 03 04 F7 C1 05");
    EXPECT_EQ(DrainAll(f), (std::vector<uint32_t>{0x03403C90, 0x03403E90, 0x030201F0, 0x010000F8,
                                                  0x03F70403, 0x020005C1}));
}

TEST(SimInput, AFullRingIsNeverOverwrittenAndLatePacketsAreDropped) {
    Rig r("--nodes 0 --rate fast --no-loopback");
    MidiFifo* f = r.Start(kPipeIn, 0);
    std::vector<uint32_t> sent;
    std::string line;
    for (uint32_t i = 0; i < kFifoSlots; ++i) {
        uint32_t pk = FifoPacket(0x00403C90 | ((i & 0x7F) << 16) | ((i >> 7) << 8), 3, 0);
        sent.push_back(pk);
        char hex[12];
        std::snprintf(hex, sizeof hex, " %08X", pk);
        line += hex;
        if (i % 100 == 99 || i + 1 == kFifoSlots) {
            r.sim.Ok("packet 0" + line);
            line.clear();
        }
    }
    EXPECT_EQ(Slots(f), sent);
    EXPECT_EQ(Load(f->iWrite), 6u);
    EXPECT_EQ(r.Stat("dropped_in"), 0u);

    r.sim.Ok("inject 0 A F8 F8 F8");
    ASSERT_TRUE(Reaches(r.sim, "dropped_in", 3));
    EXPECT_EQ(Slots(f), sent);
    EXPECT_EQ(r.Stat("waiting_in"), 0u);

    // One slot freed: exactly one more packet fits; the next one waits and,
    // the ring staying full, is dropped too.
    uint32_t pk = 0;
    ASSERT_TRUE(Consume(f, &pk));
    EXPECT_EQ(pk, sent[0]);
    r.sim.Ok("packet 0 01000001 01000002");
    EXPECT_EQ(Load(FifoSlot(f, 6)), 0x01000001u);
    EXPECT_EQ(Load(f->iWrite), 7u);
    ASSERT_TRUE(Reaches(r.sim, "dropped_in", 4));
    EXPECT_EQ(Load(FifoSlot(f, 7)), sent[1]);
    EXPECT_EQ(Load(f->iWrite), 7u);
    EXPECT_EQ(r.Stat("delivered_in"), kFifoSlots + 1);
}

TEST(SimInput, AFullBlockDropsForItselfOnly) {
    Rig r("--nodes 0 --rate fast --no-loopback");
    MidiFifo* full = r.Start(kPipeIn, 0);
    MidiFifo* free = r.StartSecondInput(1);
    for (uint32_t i = kFifoFirstSlot; i < kFifoWords; ++i)
        simtest::Store(FifoSlot(full, i), 0x01000000 | i);
    r.sim.Ok("inject 0 B FE");
    EXPECT_EQ(DrainAll(free), std::vector<uint32_t>{0x110000FE});
    ASSERT_TRUE(Reaches(r.sim, "dropped_in", 1));
    EXPECT_EQ(Load(FifoSlot(full, 6)), 0x01000006u);
    EXPECT_EQ(r.Stat("delivered_in"), 1u);
}

TEST(SimLoopback, OutputsFeedTheirInputsAsPackets) {
    Rig r("--nodes 0 --rate fast");
    MidiFifo* in = r.Start(kPipeIn, 0);
    MidiFifo* outA = r.Start(kPipeOutA, 1);
    MidiFifo* outB = r.Start(kPipeOutB, 2);
    ASSERT_TRUE(Produce(outA, 0x03403C90));
    ASSERT_TRUE(Produce(outA, 0x02004041));  // running status on the cable
    ASSERT_TRUE(Reaches(r.sim, "delivered_in", 2));
    ASSERT_TRUE(Produce(outB, 0x03007FB0));
    ASSERT_TRUE(Reaches(r.sim, "delivered_in", 3));
    EXPECT_EQ(DrainAll(in), (std::vector<uint32_t>{0x03403C90, 0x03404190, 0x13007FB0}));
    r.sim.Ok("loopback 0 off");
    ASSERT_TRUE(Produce(outA, 0x010000F8));
    ASSERT_TRUE(Reaches(r.sim, "drained_out_a", 3));
    EXPECT_EQ(r.Stat("produced_in"), 3u);
    EXPECT_TRUE(DrainAll(in).empty());
}

TEST(SimLoopback, AtWireRateAMessageArrivesOnceTheCableHasCarriedIt) {
    // The cable is busy for a while (300 messages, about 0.3 s): whenever one
    // is looked at, the message the output took last is still on its way.
    Rig r("--nodes 0");
    MidiFifo* in = r.Start(kPipeIn, 0);
    MidiFifo* out = r.Start(kPipeOutA, 1);
    for (uint32_t i = 0; i < 300; ++i)
        ASSERT_TRUE(Produce(out, FifoPacket(0x400090 | (i % 128) << 8, 3, 0)));
    ASSERT_TRUE(r.sim.Await(0, "drained_out_a", 3));
    std::map<std::string, uint64_t> stats = r.sim.Stats(0);
    ASSERT_LT(stats["drained_out_a"], 300u) << "the test was held up too long to tell";
    EXPECT_EQ(stats["produced_in"], stats["drained_out_a"] - 1);
    std::vector<uint32_t> got = DrainAll(in);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], FifoPacket(0x400090, 3, 0));
}

TEST(SimLoopback, FastRateIsLosslessWhateverTheInputKeepsUpWith) {
    // The driver writes far more than an input ring holds and drains its
    // input only now and then: nothing may be lost on the way round.
    Rig r("--nodes 0 --rate fast");
    MidiFifo* in = r.Start(kPipeIn, 0);
    MidiFifo* out = r.Start(kPipeOutA, 1);
    const uint32_t total = 6000;
    uint32_t written = 0;
    std::vector<uint32_t> got;
    auto packet = [](uint32_t i) {
        return FifoPacket(0x90 | ((i % 128) << 8) | ((i / 128 % 128) << 16), 3, 0);
    };
    while (got.size() < total) {
        while (written < total && Produce(out, packet(written)))
            ++written;
        // A slow reader: it reads only once its ring is full, or holds all
        // that was written.
        uint64_t full = std::min<uint64_t>(written, got.size() + kFifoSlots);
        ASSERT_TRUE(r.sim.Await(0, "delivered_in", full));
        std::vector<uint32_t> more = DrainAll(in);
        got.insert(got.end(), more.begin(), more.end());
    }
    ASSERT_EQ(got.size(), total);
    for (uint32_t i = 0; i < total; ++i)
        ASSERT_EQ(got[i], packet(i)) << i;
    EXPECT_EQ(r.Stat("dropped_in"), 0u);
}

}  // namespace
