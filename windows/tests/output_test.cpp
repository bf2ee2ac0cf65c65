// Output encoding on Win32: short messages, running status and long data
// become packets in the port's shared ring, which the test drains as the
// kernel side would.
#include <vector>

#include "midiout/midiout.h"
#include "windows/tests/wintest.h"

namespace vtw {
namespace {

constexpr uint32_t kCookie = 0xC00C1E01;

class OutputEncoding : public DriverFixture {
  protected:
    void SetUp() override {
        DriverFixture::SetUp();
        pInstance = Instance(0);
        // The port streams as after a start: block held, cookie in word 0.
        pStream = &pInstance->aStreams[0];
        ASSERT_EQ(AllocateFIFO(pStream, pInstance), 1);
        pStream->cOpen = 1;
        pFifo = pStream->pFifo;
        pFifo->dwMagic = kCookie;
        client.pInstance = pInstance;
    }
    void TearDown() override {
        pStream->cOpen = 0;
        DriverFixture::TearDown();
    }
    // Takes every waiting packet as the consumer does.
    std::vector<uint32_t> Drain() {
        std::vector<uint32_t> packets;
        for (;;) {
            uint32_t i = pFifo->iRead;
            uint32_t dw = FifoSlot(pFifo, i);
            if (!FifoPacketPresent(dw)) break;
            packets.push_back(dw);
            FifoSlot(pFifo, i) = 0;
            pFifo->iRead = FifoNextIndex(i, pFifo->cdwSize);
        }
        return packets;
    }
    HardwareInstance* pInstance = nullptr;
    PortStream* pStream = nullptr;
    MidiFifo* pFifo = nullptr;
    OutputClient client = {};
};

using Packets = std::vector<uint32_t>;

TEST_F(OutputEncoding, ShortMessagesUseRunningStatusOfTheRing) {
    EXPECT_EQ(modSendShortMsg(0, &client, 0x403C90), 0u);
    EXPECT_EQ(modSendShortMsg(0, &client, 0x4140), 0u);  // data only: status in force
    EXPECT_EQ(modSendShortMsg(0, &client, 0xF8), 0u);    // real time leaves it
    EXPECT_EQ(modSendShortMsg(0, &client, 0x4243), 0u);
    EXPECT_EQ(modSendShortMsg(0, &client, 0x05C3), 0u);  // program change: 2 bytes
    EXPECT_EQ(Drain(), (Packets{0x03403C90, 0x02004140, 0x010000F8, 0x02004243, 0x020005C3}));
    // Nothing else was touched: output B's block and the header words.
    EXPECT_EQ(pFifo->dwMagic, kCookie);
    EXPECT_EQ(pFifo->cRef, 1u);
    EXPECT_TRUE(gNotes.empty());
}

TEST_F(OutputEncoding, DataWithoutStatusWritesNothing) {
    EXPECT_EQ(modSendShortMsg(0, &client, 0x4140), 0u);
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(pFifo->iWrite, 6u);
}

TEST_F(OutputEncoding, FullRingRefusesUntilTheConsumerFreesASlot) {
    pFifo->iWrite = 1023;
    pFifo->iRead = 1023;
    ASSERT_EQ(modLoadMidiData2FIFO(pInstance, pStream, 0xF8, 1), 0u);
    EXPECT_EQ(pFifo->iWrite, 6u);  // wrapped
    for (uint32_t i = 1; i < kFifoSlots; ++i)
        ASSERT_EQ(modLoadMidiData2FIFO(pInstance, pStream, 0xFA, 1), 0u) << "packet " << i;
    EXPECT_EQ(modLoadMidiData2FIFO(pInstance, pStream, 0xFC, 1), DWORD(MIDIERR_NOTREADY));
    EXPECT_EQ(FifoSlot(pFifo, 1023), 0x010000F8u);
    // One slot freed at iRead: exactly one more packet fits.
    FifoSlot(pFifo, 1023) = 0;
    pFifo->iRead = 6;
    EXPECT_EQ(modLoadMidiData2FIFO(pInstance, pStream, 0xFC, 1), 0u);
    EXPECT_EQ(FifoSlot(pFifo, 1023), 0x010000FCu);
    EXPECT_EQ(modLoadMidiData2FIFO(pInstance, pStream, 0xFE, 1), DWORD(MIDIERR_NOTREADY));
}

TEST_F(OutputEncoding, RefusedWhenNotStreamingOrNoUsableBlock) {
    EXPECT_EQ(modLoadMidiData2FIFO(pInstance, pStream, 0x403C90, 0), DWORD(MMSYSERR_ERROR));
    EXPECT_EQ(modLoadMidiData2FIFO(pInstance, pStream, 0x403C90, 4), DWORD(MMSYSERR_ERROR));
    pFifo->dwMagic = 0;
    EXPECT_EQ(modLoadMidiData2FIFO(pInstance, pStream, 0xF8, 1), DWORD(MMSYSERR_ERROR));
    pFifo->dwMagic = kCookie;
    pStream->cOpen = 0;
    EXPECT_EQ(modLoadMidiData2FIFO(pInstance, pStream, 0xF8, 1), DWORD(MMSYSERR_ERROR));
    pStream->cOpen = 1;
    EXPECT_TRUE(Drain().empty());
}

TEST_F(OutputEncoding, LongDataSplitsIntoPacketsEndingAtSysexEnd) {
    BYTE ab[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0x90, 0x3C, 0x40, 0x3E};
    MIDIHDR hdr = {};
    hdr.lpData = reinterpret_cast<LPSTR>(ab);
    hdr.dwBufferLength = sizeof ab;
    hdr.dwFlags = MHDR_PREPARED;
    client.dwFlags = CALLBACK_FUNCTION;
    client.dwCallback = reinterpret_cast<DWORD_PTR>(&NoteCallback);
    client.dwInstance = 5;
    EXPECT_EQ(modSendLongData(0, &client, &hdr), 0u);
    EXPECT_EQ(Drain(), (Packets{0x037F7EF0, 0x03F70109, 0x03403C90, 0x0100003E}));
    EXPECT_EQ(hdr.dwFlags, DWORD(MHDR_PREPARED | MHDR_DONE));
    ASSERT_EQ(gNotes.size(), 1u);
    EXPECT_EQ(gNotes[0].uMsg, UINT(MOM_DONE));
    EXPECT_EQ(gNotes[0].dwInstance, 5u);
    EXPECT_EQ(gNotes[0].dwParam1, reinterpret_cast<DWORD_PTR>(&hdr));
}

}  // namespace
}  // namespace vtw
