// Output encoding into rings the test owns: packets of short messages, long
// data and resets, running status per handle and per port, the ring's wrap
// and full state, refused writes, and the long-buffer wait on a full ring.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "driver/driver.h"
#include "hwlink/hwlink.h"
#include "tests/out/out_support.h"
#include "tests/support/loaded_driver.h"
#include "tests/support/support.h"

namespace {

using vt::DrainRing;

constexpr DWORD kCookie = 0xC00C1E01;

class EncodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        inst = DevNodeToHardwareInstance(0);
        ASSERT_NE(inst, nullptr);
        // Streaming, as far as the driver can tell: a kernel side's cookie
        // in word 0.
        for (int port = 0; port < 2; ++port) {
            ASSERT_EQ(AllocateFIFO(&inst->aStreams[port], inst), 1);
            inst->aStreams[port].cOpen = 1;
            Fifo(port)->dwMagic = kCookie;
        }
        client.pInstance = inst;
        client.dwFlags = CALLBACK_FUNCTION;
        client.dwCallback = recorder.Callback();
        client.dwInstance = recorder.Instance();
    }
    void TearDown() override {
        for (int port = 0; port < 2; ++port) {
            inst->aStreams[port].cOpen = 0;
            FreeFIFO(&inst->aStreams[port], inst);
        }
    }
    MidiFifo* Fifo(int port) { return inst->aStreams[port].pFifo; }

    // Fills every slot but cFree of a port's ring, as a stalled consumer leaves it.
    void FillRing(int port, uint32_t cFree) {
        for (uint32_t n = 0; n + cFree < kFifoSlots; ++n)
            ASSERT_EQ(modLoadMidiData2FIFO(inst, &inst->aStreams[port], 0xFE, 1), 0u);
    }

    vt::LoadedDriver loaded;
    HardwareInstance* inst = nullptr;
    OutputClient client{};
    vt::NotificationRecorder recorder;
};

struct EncodeCase {
    const char* name;
    bool fLong;        // long data (bytes) or a short message (dwMsg)
    DWORD dwMsg;       // short message
    const char* data;  // long data, hex
    BYTE bRunningBefore;
    BYTE bLastBefore;
    std::vector<uint32_t> packets;
    BYTE bRunningAfter;
    BYTE bLastAfter;
};

// Port B is used, so port A's ring and last status show that nothing leaks
// from one port to the other.
TEST_F(EncodeTest, MessagesBecomePacketsWithRunningStatus) {
    const std::vector<EncodeCase> cases = {
        // Short messages.
        {"data, status already sent", false, 0x00403C, "", 0x90, 0x90, {0x0200403C}, 0x90, 0x90},
        {"data, other status sent", false, 0x00403C, "", 0x90, 0x80, {0x03403C90}, 0x90, 0x90},
        {"data without running status", false, 0x00403C, "", 0, 0x80, {}, 0, 0x80},
        {"one data byte, status sent", false, 0x05, "", 0xC0, 0xC0, {0x01000005}, 0xC0, 0xC0},
        {"one data byte, status in front", false, 0x05, "", 0xC0, 0x90, {0x020005C0}, 0xC0, 0xC0},
        {"program change, stray third byte", false, 0x7F3CC0, "", 0, 0, {0x027F3CC0}, 0xC0, 0xC0},
        {"note on", false, 0x403C90, "", 0x80, 0x80, {0x03403C90}, 0x90, 0x90},
        {"real-time leaves both", false, 0xF8, "", 0x90, 0x80, {0x010000F8}, 0x90, 0x80},
        {"song position clears", false, 0x2010F2, "", 0x90, 0x90, {0x032010F2}, 0, 0},
        {"sysex start alone", false, 0xF0, "", 0x90, 0x90, {0x010000F0}, 0, 0},
        // Long data.
        {"sysex", true, 0, "F0 7E 7F 09 01 F7", 0, 0x90, {0x037F7EF0, 0x03F70109}, 0, 0},
        {"status starts no packet",
         true,
         0,
         "C0 05 90 3C 40",
         0,
         0,
         {0x039005C0, 0x0200403C},
         0x90,
         0x90},
        {"real-time packed as data",
         true,
         0,
         "90 3C F8 40",
         0,
         0,
         {0x03F83C90, 0x01000040},
         0x90,
         0x90},
        {"F7 closes a packet of itself",
         true,
         0,
         "F0 01 02 F7 C0 05",
         0,
         0,
         {0x030201F0, 0x010000F7, 0x020005C0},
         0xC0,
         0xC0},
        {"F7 closes at two bytes",
         true,
         0,
         "F0 F7 90 3C 40",
         0,
         0,
         {0x0200F7F0, 0x03403C90},
         0x90,
         0x90},
        {"data buffer, other status sent", true, 0, "3C 40", 0x90, 0x80, {0x03403C90}, 0x90, 0x90},
        {"data buffer, status sent", true, 0, "3C 40", 0x90, 0x90, {0x0200403C}, 0x90, 0x90},
        {"one data byte buffer", true, 0, "3C", 0xC0, 0x90, {0x02003CC0}, 0xC0, 0xC0},
        {"status first, none in front", true, 0, "90 3C 40", 0x80, 0xB0, {0x03403C90}, 0x90, 0x90},
        {"data without running status", true, 0, "3C 40", 0, 0x90, {0x0200403C}, 0, 0x90},
        {"real-time buffer leaves both", true, 0, "F8", 0x90, 0x80, {0x010000F8}, 0x90, 0x80},
    };
    for (const EncodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        client.bRunningStatus = c.bRunningBefore;
        inst->abLastStatus[1] = c.bLastBefore;
        inst->abLastStatus[0] = 0xE5;  // another port's state, never touched
        DWORD r;
        if (c.fLong) {
            std::vector<BYTE> bytes = vt::Hex(c.data);
            r = modSendData(1, &client, bytes.data(), static_cast<DWORD>(bytes.size()));
        } else {
            r = modSendShortMsg(1, &client, c.dwMsg);
        }
        EXPECT_EQ(r, 0u);
        EXPECT_EQ(DrainRing(Fifo(1)), c.packets);
        EXPECT_TRUE(DrainRing(Fifo(0)).empty());
        EXPECT_EQ(client.bRunningStatus, c.bRunningAfter);
        EXPECT_EQ(inst->abLastStatus[1], c.bLastAfter);
        EXPECT_EQ(inst->abLastStatus[0], 0xE5);
    }
    EXPECT_TRUE(recorder.Seen().empty());
}

// The last status is per port: a status sent on port A does not stand for
// port B, so a data-only message on B still carries its status.
TEST_F(EncodeTest, LastStatusIsKeptPerPort) {
    EXPECT_EQ(modSendShortMsg(0, &client, 0x403C90), 0u);
    EXPECT_EQ(modSendShortMsg(1, &client, 0x00413C), 0u);
    EXPECT_EQ(DrainRing(Fifo(0)), (std::vector<uint32_t>{0x03403C90}));
    EXPECT_EQ(DrainRing(Fifo(1)), (std::vector<uint32_t>{0x03413C90}));
    EXPECT_EQ(modSendShortMsg(1, &client, 0x00423C), 0u);
    EXPECT_EQ(DrainRing(Fifo(1)), (std::vector<uint32_t>{0x0200423C}));
}

TEST_F(EncodeTest, WriteAtLastSlotWrapsToFirst) {
    MidiFifo* f = Fifo(0);
    f->iWrite = 1023;
    f->iRead = 1023;
    EXPECT_EQ(modSendShortMsg(0, &client, 0x403C90), 0u);
    EXPECT_EQ(FifoSlot(f, 1023), 0x03403C90u);
    EXPECT_EQ(f->iWrite, 6u);
    EXPECT_EQ(modSendShortMsg(0, &client, 0x00403C), 0u);
    EXPECT_EQ(FifoSlot(f, 6), 0x0200403Cu);
    EXPECT_EQ(f->iWrite, 7u);
    EXPECT_EQ(DrainRing(f), (std::vector<uint32_t>{0x03403C90, 0x0200403C}));
}

// A short message on a full ring answers 67 and leaves the block as it was;
// since its status never went out, the next data-only message carries it.
TEST_F(EncodeTest, FullRingRefusesShortMessageAndForgetsLastStatus) {
    EXPECT_EQ(modSendShortMsg(0, &client, 0x403C90), 0u);
    EXPECT_EQ(DrainRing(Fifo(0)).size(), 1u);
    FillRing(0, 0);  // slots 7..1023 and 6; iWrite is back at 7
    MidiFifo before;
    std::memcpy(&before, const_cast<MidiFifo*>(Fifo(0)), sizeof before);

    EXPECT_EQ(modSendShortMsg(0, &client, 0x00413C), static_cast<DWORD>(MIDIERR_NOTREADY));
    EXPECT_EQ(std::memcmp(&before, const_cast<MidiFifo*>(Fifo(0)), sizeof before), 0);
    EXPECT_EQ(inst->abLastStatus[0], 0);
    EXPECT_EQ(client.bRunningStatus, 0x90);

    // The consumer frees one slot: exactly one more packet fits.
    MidiFifo* f = Fifo(0);
    FifoSlot(f, f->iRead) = 0;
    f->iRead = f->iRead + 1;
    EXPECT_EQ(modSendShortMsg(0, &client, 0x00423C), 0u);
    EXPECT_EQ(FifoSlot(f, 7), 0x03423C90u);
    EXPECT_EQ(f->iWrite, 8u);
    EXPECT_EQ(modSendShortMsg(0, &client, 0x00433C), static_cast<DWORD>(MIDIERR_NOTREADY));
}

// Writes the FIFO refuses with 1: no stream in this process, an unusable
// block, a byte count outside 1..3. Nothing is stored and the last status
// becomes unknown.
TEST_F(EncodeTest, RefusedWritesStoreNothing) {
    struct Refusal {
        const char* name;
        void (*breakIt)(HardwareInstance*);
        void (*mend)(HardwareInstance*);
    };
    const Refusal refusals[] = {
        {"no stream", [](HardwareInstance* p) { p->aStreams[0].cOpen = 0; },
         [](HardwareInstance* p) { p->aStreams[0].cOpen = 1; }},
        {"magic 0", [](HardwareInstance* p) { p->aStreams[0].pFifo->dwMagic = 0; },
         [](HardwareInstance* p) { p->aStreams[0].pFifo->dwMagic = kCookie; }},
    };
    for (const Refusal& c : refusals) {
        SCOPED_TRACE(c.name);
        inst->abLastStatus[0] = 0x90;
        client.bRunningStatus = 0x90;
        c.breakIt(inst);
        EXPECT_EQ(modSendShortMsg(0, &client, 0x403C90), static_cast<DWORD>(MMSYSERR_ERROR));
        EXPECT_EQ(inst->abLastStatus[0], 0);

        inst->abLastStatus[0] = 0x90;
        MIDIHDR hdr{};
        std::vector<BYTE> bytes = vt::Hex("F0 01 02 03 04 F7");
        hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
        hdr.dwBufferLength = static_cast<DWORD>(bytes.size());
        hdr.dwFlags = MHDR_PREPARED;
        recorder.Clear();
        EXPECT_EQ(modSendLongData(0, &client, &hdr), static_cast<DWORD>(MMSYSERR_ERROR));
        EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_DONE));
        ASSERT_EQ(recorder.Messages(), std::vector<UINT>{MOM_DONE});
        EXPECT_EQ(recorder.Seen()[0].dwParam1, reinterpret_cast<DWORD_PTR>(&hdr));
        EXPECT_EQ(inst->abLastStatus[0], 0);

        c.mend(inst);
        EXPECT_TRUE(DrainRing(Fifo(0)).empty());
    }
    for (BYTE cBytes : {0, 4}) {
        EXPECT_EQ(modLoadMidiData2FIFO(inst, &inst->aStreams[0], 0x403C90, cBytes),
                  static_cast<DWORD>(MMSYSERR_ERROR));
    }
    EXPECT_TRUE(DrainRing(Fifo(0)).empty());
}

TEST_F(EncodeTest, LongDataHeaderContract) {
    std::vector<BYTE> bytes = vt::Hex("F0 7E 7F 09 01 F7");
    MIDIHDR hdr{};
    hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
    hdr.dwBufferLength = static_cast<DWORD>(bytes.size());
    hdr.dwUser = 0x1234;

    // Not prepared: 64, the header untouched, nothing sent, nobody told.
    MIDIHDR copy = hdr;
    EXPECT_EQ(modSendLongData(0, &client, &hdr), static_cast<DWORD>(MIDIERR_UNPREPARED));
    EXPECT_EQ(std::memcmp(&copy, &hdr, sizeof hdr), 0);
    EXPECT_TRUE(DrainRing(Fifo(0)).empty());
    EXPECT_TRUE(recorder.Seen().empty());

    // Prepared: sent, marked done, MOM_DONE with the header; INQUEUE and
    // dwBytesRecorded are not the output side's business.
    hdr.dwFlags = MHDR_PREPARED | MHDR_INQUEUE;
    hdr.dwBytesRecorded = 77;
    EXPECT_EQ(modSendLongData(0, &client, &hdr), 0u);
    EXPECT_EQ(DrainRing(Fifo(0)), (std::vector<uint32_t>{0x037F7EF0, 0x03F70109}));
    EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_INQUEUE | MHDR_DONE));
    EXPECT_EQ(hdr.dwBytesRecorded, 77u);
    auto seen = recorder.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].uMsg, static_cast<UINT>(MOM_DONE));
    EXPECT_EQ(seen[0].dwInstance, recorder.Instance());
    EXPECT_EQ(seen[0].dwParam1, reinterpret_cast<DWORD_PTR>(&hdr));
    EXPECT_EQ(seen[0].dwParam2, 0u);

    // Length 0: nothing sent, running status untouched, still done and told.
    recorder.Clear();
    client.bRunningStatus = 0x90;
    inst->abLastStatus[0] = 0x80;
    MIDIHDR empty{};
    empty.lpData = reinterpret_cast<LPSTR>(bytes.data());
    empty.dwFlags = MHDR_PREPARED;
    EXPECT_EQ(modSendLongData(0, &client, &empty), 0u);
    EXPECT_TRUE(DrainRing(Fifo(0)).empty());
    EXPECT_EQ(client.bRunningStatus, 0x90);
    EXPECT_EQ(inst->abLastStatus[0], 0x80);
    EXPECT_EQ(empty.dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_DONE));
    EXPECT_EQ(recorder.Messages(), std::vector<UINT>{MOM_DONE});
}

TEST_F(EncodeTest, ResetQueuesDamperAndNotesOffPerChannel) {
    client.bRunningStatus = 0x90;
    inst->abLastStatus[0] = 0x90;
    modReset(0, &client);
    std::vector<uint32_t> expected;
    for (uint32_t ch = 0; ch < 16; ++ch) {
        expected.push_back(0x030040B0 | ch);
        expected.push_back(0x03007BB0 | ch);
    }
    EXPECT_EQ(DrainRing(Fifo(0)), expected);
    EXPECT_EQ(client.bRunningStatus, 0);
    EXPECT_EQ(inst->abLastStatus[0], 0xBF);

    // On a ring with room for three, three go out and the rest are dropped.
    FillRing(0, 3);
    modReset(0, &client);
    std::vector<uint32_t> all = DrainRing(Fifo(0));
    ASSERT_EQ(all.size(), kFifoSlots);
    EXPECT_EQ(std::vector<uint32_t>(all.end() - 3, all.end()),
              (std::vector<uint32_t>{0x030040B0, 0x03007BB0, 0x030040B1}));
    EXPECT_EQ(inst->abLastStatus[0], 0);  // the last message met a full ring
}

// Long data on a full ring waits for the consumer and then goes on.
TEST_F(EncodeTest, LongDataWaitsForConsumer) {
    FillRing(0, 1);
    std::vector<BYTE> bytes = vt::Hex("F0 01 02 03 04 05 06 07 08 F7");
    std::atomic<bool> done{false};
    std::atomic<DWORD> result{0xFFFF};
    std::thread sender([&] {
        result = modSendData(0, &client, bytes.data(), static_cast<DWORD>(bytes.size()));
        done = true;
    });
    std::vector<uint32_t> got;
    MidiFifo* f = Fifo(0);
    // Drain whenever the sender has filled the ring again, as a slow wire
    // does, until the sender is through.
    while (!done) {
        bool fFull = vt::Eventually([&] { return done || FifoSlot(f, f->iWrite) != 0; });
        EXPECT_TRUE(fFull);
        if (!fFull) break;
        std::vector<uint32_t> more = DrainRing(f);
        got.insert(got.end(), more.begin(), more.end());
    }
    sender.join();
    std::vector<uint32_t> rest = DrainRing(f);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(result.load(), 0u);
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(std::vector<uint32_t>(got.end() - 4, got.end()),
              (std::vector<uint32_t>{0x030201F0, 0x03050403, 0x03080706, 0x010000F7}));
}

// A consumer that never frees a slot: the buffer is abandoned after the
// bound, the packets before stay, and the status is forgotten.
TEST_F(EncodeTest, LongDataGivesUpOnStalledRing) {
    FillRing(0, 1);
    inst->abLastStatus[0] = 0x90;
    std::vector<BYTE> bytes = vt::Hex("F0 01 02 03 04 F7");
    MIDIHDR hdr{};
    hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
    hdr.dwBufferLength = static_cast<DWORD>(bytes.size());
    hdr.dwFlags = MHDR_PREPARED;
    EXPECT_EQ(modSendLongData(0, &client, &hdr), static_cast<DWORD>(MMSYSERR_ERROR));
    EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_DONE));
    EXPECT_EQ(recorder.Messages(), std::vector<UINT>{MOM_DONE});
    EXPECT_EQ(inst->abLastStatus[0], 0);
    std::vector<uint32_t> all = DrainRing(Fifo(0));
    ASSERT_EQ(all.size(), kFifoSlots);
    EXPECT_EQ(all.back(), 0x030201F0u);
}

}  // namespace
