// What reaches the simulated interface's MIDI outputs: the packets of short
// messages, long data and resets, running status between several handles
// and both ports, and long data that waits on a stalled consumer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver/driver.h"
#include "hwlink/hwlink.h"
#include "tests/out/out_support.h"
#include "tests/support/loaded_driver.h"
#include "tests/support/sim_process.h"

namespace {

using vt::OutHandle;

class WireTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 2u);
        inst = DevNodeToHardwareInstance(0);
    }
    // Waits until the port's ring is full: a long buffer is then waiting.
    // Only the ring shows it (the consumer is paused: nothing counts).
    bool WaitRingFull(int port) {
        return vt::Eventually([&] {
            MidiFifo* f = inst->aStreams[port].pFifo;
            return f != nullptr && FifoSlot(f, f->iWrite) != 0;
        });
    }

    vt::Simulator sim{"--nodes 0 --rate fast"};
    vt::LoadedDriver loaded;
    vt::NotificationRecorder rec;
    HardwareInstance* inst = nullptr;
};

TEST_F(WireTest, PacketsReachTheWire) {
    OutHandle a, b;
    ASSERT_EQ(a.Open(0, &rec), 0u);
    ASSERT_EQ(b.Open(1, &rec), 0u);

    EXPECT_EQ(a.Short(0x403C90), 0u);
    EXPECT_EQ(a.Short(0x00413C), 0u);
    EXPECT_EQ(b.Short(0x05C0), 0u);
    std::vector<BYTE> sysex = vt::Hex("F0 7E 7F 09 01 F7");
    MIDIHDR hdr = vt::PreparedHeader(sysex);
    EXPECT_EQ(a.Long(&hdr), 0u);
    EXPECT_EQ(a.Reset(), 0u);

    std::vector<uint32_t> expectA = {0x03403C90, 0x0200413C, 0x037F7EF0, 0x03F70109};
    for (uint32_t ch = 0; ch < 16; ++ch) {
        expectA.push_back(0x030040B0 | ch);
        expectA.push_back(0x03007BB0 | ch);
    }
    EXPECT_EQ(sim.CapturePackets(0, 'A', expectA.size()), expectA);
    EXPECT_EQ(sim.CapturePackets(0, 'B', 1), std::vector<uint32_t>{0x020005C0});
    EXPECT_EQ(a.Close(), 0u);
    EXPECT_EQ(b.Close(), 0u);
    EXPECT_EQ(rec.Messages(),
              (std::vector<UINT>{MOM_OPEN, MOM_OPEN, MOM_DONE, MOM_CLOSE, MOM_CLOSE}));
}

// Each handle keeps its own running status; the driver puts a status in
// front of a data-only message whenever the port's wire last carried
// another one. Read back by a receiver, each wire gives exactly the
// messages that were sent to it.
TEST_F(WireTest, RunningStatusAcrossHandlesAndPorts) {
    OutHandle h1, h2, h3;
    ASSERT_EQ(h1.Open(0, nullptr, 0), 0u);
    ASSERT_EQ(h2.Open(0, nullptr, 0), 0u);
    ASSERT_EQ(h3.Open(1, nullptr, 0), 0u);
    struct Step {
        OutHandle* h;
        DWORD dwMsg;           // short message, or 0 for long data
        const char* longData;  // hex
        const char* heard;     // what the port's receiver gets, "" nothing
    };
    const Step steps[] = {
        {&h1, 0x403C90, "", "90 3C 40"},
        {&h1, 0x00413C, "", "90 3C 41"},
        {&h2, 0x004080, "", "80 40 00"},
        {&h1, 0x00423C, "", "90 3C 42"},  // A last carried 80
        {&h3, 0x00423C, "", ""},          // no running status yet on h3
        {&h3, 0x7F07B1, "", "B1 07 7F"},
        {&h1, 0x00433C, "", "90 3C 43"},  // B's status does not count for A
        {&h1, 0xF8, "", "F8"},
        {&h1, 0x00443C, "", "90 3C 44"},  // real-time keeps the running status
        {&h2, 0, "3C 00", "80 3C 00"},
        {&h2, 0, "3D 00 3E 00", "80 3D 00|80 3E 00"},
        {&h3, 0x000A07, "", "B1 07 0A"},
        {&h1, 0, "F0 7D 01 F7", "F0 7D 01 F7"},
        {&h1, 0x00453C, "", ""},          // sysex ended h1's running status
        {&h2, 0x00463C, "", "80 3C 46"},  // and the wire's
        {&h3, 0, "C1 05 3C", "C1 05|C1 3C"},
        {&h3, 0x000B07, "", "C1 07"},  // program change: one data byte
    };
    std::vector<std::string> expectA, expectB;
    for (const Step& s : steps) {
        DWORD r;
        if (s.dwMsg != 0) {
            r = s.h->Short(s.dwMsg);
        } else {
            std::vector<BYTE> bytes = vt::Hex(s.longData);
            MIDIHDR hdr = vt::PreparedHeader(bytes);
            r = s.h->Long(&hdr);
        }
        EXPECT_EQ(r, 0u);
        std::string heard = s.heard;
        std::vector<std::string>& expect = s.h == &h3 ? expectB : expectA;
        size_t start = 0;
        while (start < heard.size()) {
            size_t bar = heard.find('|', start);
            if (bar == std::string::npos) bar = heard.size();
            expect.push_back(heard.substr(start, bar - start));
            start = bar + 1;
        }
    }

    // Everything is in the rings; collect until the receivers have it all.
    std::vector<BYTE> wireA = vt::HearMessages(sim, 0, 'A', expectA.size());
    std::vector<BYTE> wireB = vt::HearMessages(sim, 0, 'B', expectB.size());
    EXPECT_EQ(vt::ParseMidi(wireA), expectA) << vt::HexString(wireA);
    EXPECT_EQ(vt::ParseMidi(wireB), expectB) << vt::HexString(wireB);
    EXPECT_EQ(h1.Close(), 0u);
    EXPECT_EQ(h2.Close(), 0u);
    EXPECT_EQ(h3.Close(), 0u);
}

// A buffer longer than the ring waits while the consumer is paused, shuts
// out other sends of the interface meanwhile, and completes when it resumes.
TEST_F(WireTest, LongDataWaitsForPausedConsumer) {
    OutHandle a, b;
    ASSERT_EQ(a.Open(0, &rec), 0u);
    ASSERT_EQ(b.Open(1, nullptr, 0), 0u);
    sim.Ok("rate 0 paused");

    std::vector<BYTE> bytes{0xF0};
    for (int i = 0; i < 3 * 1500; ++i)
        bytes.push_back(static_cast<BYTE>(i % 0x80));
    bytes.push_back(0xF7);
    MIDIHDR hdr = vt::PreparedHeader(bytes);
    std::atomic<DWORD> result{0xFFFF};
    std::thread sender([&] { result = a.Long(&hdr); });

    ASSERT_TRUE(WaitRingFull(0));
    // The guard covers both ports: this send leaves no trace.
    EXPECT_EQ(b.Short(0x403C90), static_cast<DWORD>(MIDIERR_NOTREADY));
    EXPECT_EQ(b.Client()->bRunningStatus, 0);
    EXPECT_EQ(result.load(), 0xFFFFu);

    sim.Ok("rate 0 fast");
    sender.join();
    EXPECT_EQ(result.load(), 0u);
    EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_DONE));
    EXPECT_EQ(rec.Messages(), (std::vector<UINT>{MOM_OPEN, MOM_DONE}));
    std::vector<BYTE> wire = vt::PacketBytes(sim.CapturePackets(0, 'A', (bytes.size() + 2) / 3));
    EXPECT_EQ(wire, bytes);
    EXPECT_TRUE(sim.CapturePackets(0, 'B').empty());
    EXPECT_EQ(b.Short(0x403C90), 0u);
    EXPECT_EQ(sim.CapturePackets(0, 'B', 1), std::vector<uint32_t>{0x03403C90});
    EXPECT_EQ(a.Close(), 0u);
    EXPECT_EQ(b.Close(), 0u);
}

// A consumer that never resumes: the buffer is given up, still marked done
// and notified, and answers 1. What was written stays; the next data-only
// message carries its status again.
TEST_F(WireTest, LongDataGivenUpWhenConsumerNeverResumes) {
    OutHandle a;
    ASSERT_EQ(a.Open(0, &rec), 0u);
    EXPECT_EQ(a.Short(0x403C90), 0u);
    EXPECT_EQ(sim.CapturePackets(0, 'A', 1), std::vector<uint32_t>{0x03403C90});
    sim.Ok("rate 0 paused");

    std::vector<BYTE> bytes;
    for (uint32_t i = 0; i < 3 * (kFifoSlots + 4); ++i)
        bytes.push_back(0x3C);
    MIDIHDR hdr = vt::PreparedHeader(bytes);
    EXPECT_EQ(a.Long(&hdr), static_cast<DWORD>(MMSYSERR_ERROR));
    EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_DONE));
    EXPECT_EQ(rec.Messages(), (std::vector<UINT>{MOM_OPEN, MOM_DONE}));

    sim.Ok("rate 0 fast");
    std::vector<uint32_t> got = sim.CapturePackets(0, 'A', kFifoSlots);
    ASSERT_EQ(got.size(), kFifoSlots);
    EXPECT_EQ(got[0], 0x033C3C3Cu);  // the wire still had 90: no status in front
    EXPECT_EQ(vt::PacketBytes(got).size(), 3 * kFifoSlots);
    EXPECT_EQ(a.Short(0x00403C), 0u);
    EXPECT_EQ(sim.CapturePackets(0, 'A', 1), std::vector<uint32_t>{0x03403C90});
    EXPECT_EQ(a.Close(), 0u);
}

}  // namespace
