// What a client sent before it closed its port goes out whole: the close
// waits until the interface has sent what the ring still held.
#include "tests/clients/clients.h"
#include "tests/support/sim_process.h"
#include "tests/support/support.h"

namespace {

std::vector<BYTE> Sysex(size_t cb) {
    std::vector<BYTE> bytes(cb);
    bytes.front() = 0xF0;
    for (size_t i = 1; i + 1 < cb; ++i)
        bytes[i] = static_cast<BYTE>(i % 0x80);
    bytes.back() = 0xF7;
    return bytes;
}

// At the wire rate a 5000-byte sysex takes 1.6 s: midiOutLongMsg returns
// once the last of it is in the ring, about a second before it is all sent.
TEST(CloseAfterData, LongDataAtTheWireRateArrivesWholeThoughClosedAtOnce) {
    vt::Simulator sim("--nodes 0 --no-loopback");
    ASSERT_EQ(midiOutGetNumDevs(), 2u);
    for (UINT id : {0u, 1u}) {
        SCOPED_TRACE(id);
        std::vector<BYTE> bytes = Sysex(5000);
        HMIDIOUT h = nullptr;
        ASSERT_EQ(midiOutOpen(&h, id, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        MIDIHDR hdr{};
        hdr.lpData = reinterpret_cast<LPSTR>(bytes.data());
        hdr.dwBufferLength = static_cast<DWORD>(bytes.size());
        ASSERT_EQ(midiOutPrepareHeader(h, &hdr, sizeof hdr), MMSYSERR_NOERROR);
        ASSERT_EQ(midiOutLongMsg(h, &hdr, sizeof hdr), MMSYSERR_NOERROR);
        ASSERT_EQ(midiOutUnprepareHeader(h, &hdr, sizeof hdr), MMSYSERR_NOERROR);
        ASSERT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
        std::vector<BYTE> got = sim.CaptureBytes(0, id == 0 ? 'A' : 'B');
        EXPECT_EQ(got.size(), bytes.size());
        EXPECT_TRUE(got == bytes) << "the bytes sent differ from those that went out";
    }
}

}  // namespace
