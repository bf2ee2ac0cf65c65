// The four control requests of a device node as a driver issues them: the
// descriptor, first acquisition, and the life of a start request from its
// cookie to its completion by stop, close or unplug.
#include <sys/stat.h>

#include <set>

#include "tests/sim/sim_test.h"

namespace {

using simtest::Answer;
using simtest::BlockMemory;
using simtest::Cookie;
using simtest::DeviceConnection;

Answer Descriptor(DeviceConnection& c, uint32_t cbOut = kUsbDeviceDescriptorBytes) {
    return c.Call(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, cbOut);
}

uint16_t Word(const std::vector<uint8_t>& d, size_t at) {
    return static_cast<uint16_t>(d[at] | d[at + 1] << 8);
}

TEST(SimDescriptor, AnswersAUsbDeviceDescriptorWithTheExpectedIds) {
    vt::Simulator sim("--nodes 0,3");
    for (unsigned node : {0u, 3u}) {
        DeviceConnection c;
        ASSERT_TRUE(c.Open(vt::TestRoot(), node));
        Answer a = Descriptor(c);
        ASSERT_TRUE(a.ok);
        EXPECT_EQ(a.reply.dwType, devwire::kReplyNow);
        EXPECT_EQ(a.reply.fPending, 0u);
        EXPECT_EQ(a.reply.dwStatus, devwire::kStatusSuccess);
        EXPECT_EQ(a.reply.cbReturned, 18u);
        ASSERT_EQ(a.data.size(), 18u);
        EXPECT_EQ(a.data[0], 18);  // bLength
        EXPECT_EQ(a.data[1], 1);   // bDescriptorType: device
        EXPECT_EQ(Word(a.data, 2), 0x0200);
        EXPECT_EQ(Word(a.data, kUsbDescVendorOffset), kExpectedVendorId);
        EXPECT_EQ(Word(a.data, kUsbDescProductOffset), kExpectedProductId);
        EXPECT_GE(a.data[17], 1);  // bNumConfigurations
        EXPECT_TRUE(c.Completions().empty());
    }
    EXPECT_EQ(sim.Stats(0)["descriptor"], 1u);
    EXPECT_EQ(sim.Stats(3)["descriptor"], 1u);
    EXPECT_EQ(sim.Stats(3)["first_acquire"], 0u);
}

TEST(SimDescriptor, IdsSetPerNodeAndFaultsSpoilOnlyTheNextAnswer) {
    vt::Simulator sim("--nodes 0");
    sim.Ok("plug 1 0xABCD 1234");
    DeviceConnection c0, c1;
    ASSERT_TRUE(c0.Open(vt::TestRoot(), 0));
    ASSERT_TRUE(c1.Open(vt::TestRoot(), 1));
    Answer a = Descriptor(c1);
    ASSERT_EQ(a.data.size(), 18u);
    EXPECT_EQ(Word(a.data, 8), 0xABCD);
    EXPECT_EQ(Word(a.data, 10), 0x1234);
    EXPECT_EQ(Word(Descriptor(c0).data, 8), kExpectedVendorId);  // node 0 keeps its own

    sim.Ok("descriptor 0 1111 2222");
    a = Descriptor(c0);
    EXPECT_EQ(Word(a.data, 8), 0x1111);
    EXPECT_EQ(Word(a.data, 10), 0x2222);
    sim.Ok("descriptor 0 1209 0001");

    sim.Ok("fail 0 descriptor-short");
    a = Descriptor(c0);
    EXPECT_EQ(a.reply.cbReturned, 17u);
    EXPECT_EQ(a.data.size(), 17u);
    EXPECT_EQ(Descriptor(c0).data.size(), 18u);

    sim.Ok("fail 0 wrong-vendor");
    a = Descriptor(c0);
    ASSERT_EQ(a.data.size(), 18u);
    EXPECT_NE(Word(a.data, 8), kExpectedVendorId);
    EXPECT_EQ(Word(a.data, 10), kExpectedProductId);
    EXPECT_EQ(Word(Descriptor(c0).data, 8), kExpectedVendorId);

    EXPECT_EQ(Descriptor(c0, 17).reply.dwStatus, devwire::kStatusBufferTooSmall);
    EXPECT_EQ(sim.Stats(0)["descriptor"], 7u);
}

TEST(SimFirstAcquire, IsAnsweredAtOnceAndCounted) {
    vt::Simulator sim("--nodes 0");
    DeviceConnection a, b;
    ASSERT_TRUE(a.Open(vt::TestRoot(), 0));
    ASSERT_TRUE(b.Open(vt::TestRoot(), 0));
    for (DeviceConnection* c : {&a, &b, &a}) {
        Answer r = c->Call(IOCTL_FIRST_ACQUIRE);
        EXPECT_EQ(r.reply.dwStatus, devwire::kStatusSuccess);
        EXPECT_EQ(r.reply.fPending, 0u);
    }
    auto st = sim.Stats(0);
    EXPECT_EQ(st["first_acquire"], 3u);
    EXPECT_EQ(st["descriptor"], 0u);
    EXPECT_EQ(st["start_out_a"] + st["start_in"] + st["stop"], 0u);
    EXPECT_EQ(a.Call(CtlCode(0x8FF, kCtlMethodBuffered)).reply.dwStatus,
              devwire::kStatusInvalidDeviceRequest);
}

TEST(SimStart, PendsAfterWritingAUniqueCookieIntoWordZero) {
    vt::Simulator sim("--nodes 0,1 --rate paused");
    BlockMemory mem(8 * kFifoBlockBytes);
    ASSERT_TRUE(mem.ok());
    DeviceConnection c0, c1;
    ASSERT_TRUE(c0.Open(vt::TestRoot(), 0));
    ASSERT_TRUE(c1.Open(vt::TestRoot(), 1));
    std::set<uint32_t> cookies;
    struct {
        DeviceConnection* conn;
        uint32_t pipe;
    } starts[] = {{&c0, kPipeOutA}, {&c0, kPipeOutB}, {&c0, kPipeIn},
                  {&c0, kPipeIn},   {&c1, kPipeOutA}, {&c1, kPipeIn}};
    uint64_t offset = 0;
    for (auto& s : starts) {
        MidiFifo* f = mem.Init(offset);
        FifoSlot(f, 6) = 0x01000042;  // the kernel side writes word 0 only
        Answer a = s.conn->Start(s.pipe, mem, offset);
        ASSERT_TRUE(a.ok);
        EXPECT_EQ(a.reply.dwType, devwire::kReplyNow);
        EXPECT_EQ(a.reply.fPending, 1u) << s.pipe;
        uint32_t cookie = Cookie(f);
        EXPECT_NE(cookie, 0u);
        EXPECT_NE(cookie, MIDI_FIFO_MAGIC);
        EXPECT_TRUE(cookies.insert(cookie).second) << "cookie used twice";
        EXPECT_EQ(f->cbHeader, kFifoHeaderBytes);
        EXPECT_EQ(f->cRef, 1u);
        EXPECT_EQ(f->cdwSize, kFifoWords);
        EXPECT_EQ(f->iWrite, 6u);
        EXPECT_EQ(f->iRead, 6u);
        EXPECT_EQ(FifoSlot(f, 6), 0x01000042u);
        offset += kFifoBlockBytes;
    }
    EXPECT_TRUE(c0.Completions().empty());
    EXPECT_TRUE(c1.Completions().empty());
    auto st = sim.Stats(0);
    EXPECT_EQ(st["start_out_a"], 1u);
    EXPECT_EQ(st["start_out_b"], 1u);
    EXPECT_EQ(st["start_in"], 2u);
    EXPECT_EQ(st["streams_in"], 2u);  // several input streams on one node
    EXPECT_EQ(sim.Stats(1)["streams_out_a"], 1u);

    // A new start after a stop gets a cookie never seen before.
    MidiFifo* f0 = mem.At(0);
    c0.Stop(Cookie(f0));
    EXPECT_EQ(c0.NextCompletion().reply.dwStatus, devwire::kStatusSuccess);
    mem.Init(0);
    ASSERT_EQ(c0.Start(kPipeOutA, mem, 0).reply.fPending, 1u);
    EXPECT_TRUE(cookies.insert(Cookie(f0)).second);
}

TEST(SimStart, SecondOutputStartOnANodeIsRefusedAtOnce) {
    vt::Simulator sim("--nodes 0 --rate paused");
    BlockMemory mem;
    DeviceConnection a, b;
    ASSERT_TRUE(a.Open(vt::TestRoot(), 0));
    ASSERT_TRUE(b.Open(vt::TestRoot(), 0));
    mem.Init(0);
    ASSERT_EQ(a.Start(kPipeOutA, mem, 0).reply.fPending, 1u);
    MidiFifo* second = mem.Init(kFifoBlockBytes);
    Answer r = b.Start(kPipeOutA, mem, kFifoBlockBytes);
    EXPECT_EQ(r.reply.fPending, 0u);
    EXPECT_EQ(r.reply.dwStatus, devwire::kStatusDeviceBusy);
    EXPECT_EQ(Cookie(second), MIDI_FIFO_MAGIC);  // untouched
    // Output B is its own pipe.
    mem.Init(2 * kFifoBlockBytes);
    EXPECT_EQ(b.Start(kPipeOutB, mem, 2 * kFifoBlockBytes).reply.fPending, 1u);
    auto st = sim.Stats(0);
    EXPECT_EQ(st["start_out_a"], 1u);
    EXPECT_EQ(st["refused"], 1u);
    EXPECT_EQ(st["streams_out_a"], 1u);
    EXPECT_EQ(st["streams_out_b"], 1u);
}

TEST(SimStart, MalformedStartsAreAnsweredAtOnceAndTouchNothing) {
    vt::Simulator sim("--nodes 0 --rate paused");
    BlockMemory mem(2 * kFifoBlockBytes);
    DeviceConnection c;
    ASSERT_TRUE(c.Open(vt::TestRoot(), 0));
    MidiFifo* f = mem.Init(0);
    struct Case {
        const char* name;
        StreamStartRequest sr;
        uint32_t cbIn, cbOut;
        bool passFd;
        uint64_t offset;
        uint32_t status;
    } cases[] = {
        {"pipe 3", {3, 1024, 0}, 12, 4096, true, 0, devwire::kStatusInvalidParameter},
        {"block size", {2, 512, 0}, 12, 4096, true, 0, devwire::kStatusInvalidParameter},
        {"short record", {2, 1024, 0}, 8, 4096, true, 0, devwire::kStatusInvalidParameter},
        {"no memory passed", {2, 1024, 0}, 12, 4096, false, 0, devwire::kStatusInvalidParameter},
        {"small buffer", {2, 1024, 0}, 12, 2048, true, 0, devwire::kStatusBufferTooSmall},
        {"block past the memory",
         {2, 1024, 0},
         12,
         4096,
         true,
         4096 + 16,
         devwire::kStatusInvalidParameter},
        {"offset far past",
         {0, 1024, 0},
         12,
         4096,
         true,
         1ull << 40,
         devwire::kStatusInvalidParameter},
        {"misaligned", {0, 1024, 0}, 12, 4096, true, 2, devwire::kStatusInvalidParameter},
    };
    for (const Case& k : cases) {
        Answer a =
            c.Call(IOCTL_START_STREAM, &k.sr, k.cbIn, k.cbOut, k.passFd ? mem.fd() : -1, k.offset);
        ASSERT_TRUE(a.ok) << k.name;
        EXPECT_EQ(a.reply.fPending, 0u) << k.name;
        EXPECT_EQ(a.reply.dwStatus, k.status) << k.name;
    }
    EXPECT_EQ(Cookie(f), MIDI_FIFO_MAGIC);
    auto st = sim.Stats(0);
    EXPECT_EQ(st["start_out_a"] + st["start_in"] + st["streams_out_a"] + st["streams_in"], 0u);
    // A block that does not start on a page boundary is fine.
    MidiFifo* g = mem.Init(1024);
    EXPECT_EQ(c.Start(kPipeIn, mem, 1024).reply.fPending, 1u);
    EXPECT_NE(Cookie(g), MIDI_FIFO_MAGIC);
}

TEST(SimStart, InjectedFaultsSpoilTheNextStartOnly) {
    vt::Simulator sim("--nodes 0 --rate paused");
    BlockMemory mem;
    DeviceConnection c;
    ASSERT_TRUE(c.Open(vt::TestRoot(), 0));

    sim.Ok("fail 0 start-immediate");
    mem.Init(0);
    Answer a = c.Start(kPipeOutA, mem, 0);
    EXPECT_EQ(a.reply.fPending, 0u);
    EXPECT_EQ(a.reply.dwStatus, devwire::kStatusSuccess);
    EXPECT_EQ(sim.Stats(0)["streams_out_a"], 0u);  // nothing streams: a retry is not busy

    sim.Ok("fail 0 start-no-cookie");
    MidiFifo* f = mem.Init(0);
    a = c.Start(kPipeOutA, mem, 0);
    EXPECT_EQ(a.reply.fPending, 1u);
    EXPECT_EQ(Cookie(f), MIDI_FIFO_MAGIC);

    MidiFifo* g = mem.Init(kFifoBlockBytes);
    EXPECT_EQ(c.Start(kPipeOutB, mem, kFifoBlockBytes).reply.fPending, 1u);
    EXPECT_NE(Cookie(g), MIDI_FIFO_MAGIC);
}

TEST(SimStop, ByCookieFromAnyConnectionCompletesTheStart) {
    vt::Simulator sim("--nodes 0 --rate paused");
    BlockMemory mem;
    DeviceConnection carrier, other;
    ASSERT_TRUE(carrier.Open(vt::TestRoot(), 0));
    ASSERT_TRUE(other.Open(vt::TestRoot(), 0));
    MidiFifo* fa = mem.Init(0);
    MidiFifo* fi = mem.Init(kFifoBlockBytes);
    uint32_t idA = 0, idIn = 0;
    {
        StreamStartRequest sr{kPipeOutA, kFifoWords, 0};
        idA = carrier.Send(IOCTL_START_STREAM, &sr, sizeof sr, kFifoBlockBytes, mem.fd(), 0);
        ASSERT_EQ(carrier.Receive().reply.fPending, 1u);
        sr.dwPipe = kPipeIn;
        idIn = carrier.Send(IOCTL_START_STREAM, &sr, sizeof sr, kFifoBlockBytes, mem.fd(),
                            kFifoBlockBytes);
        ASSERT_EQ(carrier.Receive().reply.fPending, 1u);
    }

    // An unknown cookie is answered with success and ends nothing.
    Answer r = other.Stop(Cookie(fa) ^ 0x1);
    EXPECT_EQ(r.reply.dwStatus, devwire::kStatusSuccess);
    EXPECT_EQ(sim.Stats(0)["stop"], 0u);
    EXPECT_TRUE(carrier.Completions().empty());

    r = other.Stop(Cookie(fa));
    EXPECT_EQ(r.reply.dwStatus, devwire::kStatusSuccess);
    EXPECT_EQ(r.reply.fPending, 0u);
    Answer done = carrier.NextCompletion();
    ASSERT_TRUE(done.ok);
    EXPECT_EQ(done.reply.dwType, devwire::kReplyLater);
    EXPECT_EQ(done.reply.dwId, idA);
    EXPECT_EQ(done.reply.dwStatus, devwire::kStatusSuccess);
    EXPECT_TRUE(carrier.Completions().empty());  // the input stream runs on
    EXPECT_TRUE(other.Completions().empty());

    auto st = sim.Stats(0);
    EXPECT_EQ(st["stop"], 1u);
    EXPECT_EQ(st["streams_out_a"], 0u);
    EXPECT_EQ(st["streams_in"], 1u);
    EXPECT_EQ(st["cancelled"], 0u);

    // A stopped block is no longer touched: an injected byte reaches only
    // the live input block, and output A can start again.
    sim.Ok("rate 0 fast");
    sim.Ok("inject 0 A F8");
    EXPECT_EQ(FifoSlot(fi, 6), 0x010000F8u);
    MidiFifo* again = mem.Init(2 * kFifoBlockBytes);
    EXPECT_EQ(other.Start(kPipeOutA, mem, 2 * kFifoBlockBytes).reply.fPending, 1u);
    EXPECT_NE(Cookie(again), MIDI_FIFO_MAGIC);

    other.Stop(Cookie(fi));
    done = carrier.NextCompletion();
    EXPECT_EQ(done.reply.dwId, idIn);
    EXPECT_EQ(done.reply.dwStatus, devwire::kStatusSuccess);
}

// What the ring holds when a stop arrives still goes out, at the port's
// rate, before the start request completes and the block reads the magic
// again; when the carrying connection closes instead, it is dropped. A paused
// port cannot send it: its stop completes after the time a full ring takes
// on the wire, dropping it.
TEST(SimStop, SendsWhatTheRingHoldsFirstUnlessTheConnectionCloses) {
    struct Case {
        const char* what;
        const char* rate;
        bool fStop;            // a stop request, or the connection closes
        bool fEverythingSent;  // what the capture then holds
    };
    const Case cases[] = {
        {"stop at the wire rate", "wire", true, true},
        {"stop while paused", "paused", true, false},
        {"close at the wire rate", "wire", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vt::Simulator sim(std::string("--nodes 0 --no-loopback --rate ") + c.rate);
        BlockMemory mem;
        DeviceConnection carrier;
        ASSERT_TRUE(carrier.Open(vt::TestRoot(), 0));
        MidiFifo* f = mem.Init(0);
        ASSERT_EQ(carrier.Start(kPipeOutB, mem, 0).reply.fPending, 1u);
        // A full ring: about a second on the wire.
        std::vector<uint32_t> sent;
        for (uint32_t i = 0; i < kFifoSlots; ++i) {
            sent.push_back(FifoPacket(0x90 | ((i % 128) << 8) | ((i / 128) << 16), 3, 0));
            ASSERT_TRUE(simtest::Produce(f, sent.back()));
        }
        if (c.fStop) {
            EXPECT_EQ(carrier.Stop(Cookie(f)).reply.dwStatus, devwire::kStatusSuccess);
            Answer done = carrier.NextCompletion(5000);
            ASSERT_TRUE(done.ok);
            EXPECT_EQ(done.reply.dwStatus, devwire::kStatusSuccess);
        } else {
            carrier.Close();
            ASSERT_TRUE(sim.Await(0, "cancelled", 1));
        }
        EXPECT_EQ(sim.Stats(0)["streams_out_b"], 0u);
        EXPECT_EQ(Cookie(f), MIDI_FIFO_MAGIC);
        std::vector<uint32_t> got = sim.CapturePackets(0, 'B');
        if (c.fEverythingSent) {
            EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " packets sent";
        } else {
            EXPECT_LT(got.size(), sent.size() / 2);
        }
    }
}

TEST(SimClose, OfTheCarryingConnectionCancelsItsStartsOnly) {
    vt::Simulator sim("--nodes 0 --rate paused");
    BlockMemory mem;
    DeviceConnection carrier, other;
    ASSERT_TRUE(carrier.Open(vt::TestRoot(), 0));
    ASSERT_TRUE(other.Open(vt::TestRoot(), 0));
    mem.Init(0);
    mem.Init(kFifoBlockBytes);
    MidiFifo* kept = mem.Init(2 * kFifoBlockBytes);
    ASSERT_EQ(carrier.Start(kPipeOutA, mem, 0).reply.fPending, 1u);
    ASSERT_EQ(carrier.Start(kPipeIn, mem, kFifoBlockBytes).reply.fPending, 1u);
    ASSERT_EQ(other.Start(kPipeIn, mem, 2 * kFifoBlockBytes).reply.fPending, 1u);
    carrier.Close();
    ASSERT_TRUE(simtest::Reaches(sim, "cancelled", 2));
    auto st = sim.Stats(0);
    EXPECT_EQ(st["streams_out_a"], 0u);
    EXPECT_EQ(st["streams_in"], 1u);
    EXPECT_EQ(st["stop"], 0u);
    EXPECT_TRUE(other.Completions().empty());
    sim.Ok("rate 0 fast");
    sim.Ok("inject 0 B FE");
    EXPECT_EQ(FifoSlot(kept, 6), 0x110000FEu);
}

TEST(SimUnplug, CompletesStreamsWithNotConnectedAndRemovesTheNode) {
    vt::Simulator sim("--nodes 0,1 --rate paused");
    BlockMemory mem;
    DeviceConnection c, onOne;
    ASSERT_TRUE(c.Open(vt::TestRoot(), 0));
    ASSERT_TRUE(onOne.Open(vt::TestRoot(), 1));
    mem.Init(0);
    mem.Init(kFifoBlockBytes);
    MidiFifo* f1 = mem.Init(2 * kFifoBlockBytes);
    ASSERT_EQ(c.Start(kPipeOutB, mem, 0).reply.fPending, 1u);
    ASSERT_EQ(c.Start(kPipeIn, mem, kFifoBlockBytes).reply.fPending, 1u);
    ASSERT_EQ(onOne.Start(kPipeIn, mem, 2 * kFifoBlockBytes).reply.fPending, 1u);

    sim.Ok("unplug 0");
    std::deque<Answer> done = c.Completions();
    ASSERT_EQ(done.size(), 2u);
    for (const Answer& a : done) {
        EXPECT_EQ(a.reply.dwType, devwire::kReplyLater);
        EXPECT_EQ(a.reply.dwStatus, devwire::kStatusDeviceNotConnected);
    }
    EXPECT_NE(done[0].reply.dwId, done[1].reply.dwId);
    struct stat st {};
    EXPECT_NE(stat(devwire::DevicePath(vt::TestRoot(), 0).c_str(), &st), 0);
    DeviceConnection late;
    EXPECT_FALSE(late.Open(vt::TestRoot(), 0));
    EXPECT_EQ(Descriptor(c).reply.dwStatus, devwire::kStatusDeviceNotConnected);
    EXPECT_EQ(sim.Command("stats 0"), "error node 0 is not plugged");

    // Node 1 is another interface: untouched.
    EXPECT_TRUE(onOne.Completions().empty());
    EXPECT_NE(Cookie(f1), MIDI_FIFO_MAGIC);
    EXPECT_EQ(sim.Stats(1)["streams_in"], 1u);

    // Plugged again it is a fresh interface; the old handle stays dead.
    sim.Ok("plug 0");
    EXPECT_EQ(Descriptor(c).reply.dwStatus, devwire::kStatusDeviceNotConnected);
    ASSERT_TRUE(late.Open(vt::TestRoot(), 0));
    EXPECT_EQ(Descriptor(late).reply.dwStatus, devwire::kStatusSuccess);
    EXPECT_EQ(sim.Stats(0)["start_out_b"], 0u);
}

}  // namespace
