// Output handles through modMessage against the simulated kernel side: the
// order of the device checks, open and close with their notifications, a
// failed stream start, several handles on one port, and a close after the
// interface went away.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "hwlink/hwlink.h"
#include "tests/out/out_support.h"
#include "tests/support/loaded_driver.h"
#include "tests/support/sim_process.h"

namespace {

using vt::OutHandle;

TEST(OutPortChecks, OpenBeforeAnyProbeIsBadDevice) {
    vt::Simulator sim("--nodes 0 --rate fast");
    vt::LoadedDriver loaded;
    OutHandle h;
    h.dwUser = 0xABCD;
    EXPECT_EQ(h.Open(0, nullptr), static_cast<DWORD>(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(h.dwUser, 0xABCDu);
    EXPECT_EQ(modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 2u);
    EXPECT_EQ(h.Open(0, nullptr, 0), 0u);
    EXPECT_EQ(h.Close(), 0u);
}

TEST(OutPortChecks, DeviceIdRangeAndUnhandledMessages) {
    vt::Simulator sim("--nodes 0,3,6 --rate fast");
    vt::LoadedDriver loaded;
    ASSERT_EQ(modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 6u);

    MIDIOUTCAPSW caps{};
    MIDIOPENDESC desc{};
    DWORD_PTR dwUser = 0;
    // The device messages refuse an ID out of range and touch nothing.
    for (UINT id : {6u, 7u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(testing::Message() << "id " << id);
        EXPECT_EQ(
            modMessage(id, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), sizeof caps),
            static_cast<DWORD>(MMSYSERR_BADDEVICEID));
        EXPECT_EQ(modMessage(id, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&dwUser),
                             reinterpret_cast<DWORD_PTR>(&desc), 0),
                  static_cast<DWORD>(MMSYSERR_BADDEVICEID));
    }
    EXPECT_EQ(dwUser, 0u);
    EXPECT_EQ(caps.wMid, 0);
    // Messages the driver leaves to the platform, whatever the ID: the bogus
    // handle and header addresses would crash if they were followed.
    for (UINT id : {5u, 7u}) {
        for (UINT uMsg : {MODM_PREPARE, MODM_UNPREPARE, 100, 0}) {
            EXPECT_EQ(modMessage(id, uMsg, 0x1000, 0x2000, sizeof(MIDIHDR)),
                      static_cast<DWORD>(MMSYSERR_NOTSUPPORTED));
        }
    }
}

TEST(OutPortChecks, DisabledInstanceIsNotEnabled) {
    vt::Simulator sim("--nodes 0 --rate fast");
    vt::LoadedDriver loaded;
    ASSERT_EQ(modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 2u);
    ASSERT_EQ(DisableDevNode(0), 0u);
    MIDIOUTCAPSW caps{};
    EXPECT_EQ(modMessage(1, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), sizeof caps),
              static_cast<DWORD>(MMSYSERR_NOTENABLED));
    EXPECT_EQ(caps.wMid, 0);
    OutHandle h;
    EXPECT_EQ(h.Open(1, nullptr, 0), static_cast<DWORD>(MMSYSERR_NOTENABLED));
    EXPECT_EQ(h.dwUser, 0u);
    EXPECT_EQ(DevNodeToHardwareInstance(0)->cAcquire, 0);
    ASSERT_EQ(EnableDevNode(0, 0), 0u);
    EXPECT_EQ(h.Open(1, nullptr, 0), 0u);
    EXPECT_EQ(h.Close(), 0u);
}

class OutPortTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 4u); }
    vt::Simulator sim{"--nodes 2,5 --rate fast"};
    vt::LoadedDriver loaded;
    vt::NotificationRecorder rec;
};

TEST_F(OutPortTest, OpenAndCloseNotify) {
    OutHandle h;
    HMIDI hMidi = reinterpret_cast<HMIDI>(0x7788);
    ASSERT_EQ(h.Open(0, &rec, CALLBACK_FUNCTION, hMidi), 0u);
    ASSERT_NE(h.Client(), nullptr);
    EXPECT_EQ(h.Client()->pInstance, DevNodeToHardwareInstance(2));
    EXPECT_EQ(h.Client()->bRunningStatus, 0);
    auto seen = rec.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].uMsg, static_cast<UINT>(MOM_OPEN));
    EXPECT_EQ(seen[0].hDrv, reinterpret_cast<HDRVR>(hMidi));
    EXPECT_EQ(seen[0].dwInstance, rec.Instance());
    EXPECT_EQ(seen[0].dwParam1, 0u);
    EXPECT_EQ(seen[0].dwParam2, 0u);

    EXPECT_EQ(h.Close(), 0u);
    seen = rec.Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].uMsg, static_cast<UINT>(MOM_CLOSE));
    EXPECT_EQ(seen[1].hDrv, reinterpret_cast<HDRVR>(hMidi));
    EXPECT_EQ(seen[1].dwParam1, 0u);
    HardwareInstance* inst = DevNodeToHardwareInstance(2);
    EXPECT_EQ(inst->cAcquire, 0);
    EXPECT_EQ(inst->aStreams[0].cOpen, 0);
    EXPECT_EQ(inst->aStreams[0].pFifoBase, nullptr);
}

// Flags without a callback type: open, send and close work, nobody is told.
TEST_F(OutPortTest, NoCallbackTypeMeansNoNotification) {
    OutHandle h;
    ASSERT_EQ(h.Open(1, &rec, MIDI_IO_STATUS), 0u);
    std::vector<BYTE> bytes = vt::Hex("F0 01 F7");
    MIDIHDR hdr = vt::PreparedHeader(bytes);
    EXPECT_EQ(h.Long(&hdr), 0u);
    EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(MHDR_PREPARED | MHDR_DONE));
    EXPECT_EQ(h.Close(), 0u);
    EXPECT_TRUE(rec.Seen().empty());
}

TEST_F(OutPortTest, FailedStreamStartLeavesNothing) {
    sim.Ok("fail 2 start-immediate");
    OutHandle h;
    h.dwUser = 0xABCD;
    EXPECT_EQ(h.Open(0, &rec), static_cast<DWORD>(MMSYSERR_NOTENABLED));
    EXPECT_EQ(h.dwUser, 0xABCDu);
    EXPECT_TRUE(rec.Seen().empty());
    HardwareInstance* inst = DevNodeToHardwareInstance(2);
    EXPECT_EQ(inst->cAcquire, 0);
    EXPECT_EQ(inst->aStreams[0].cOpen, 0);
    EXPECT_EQ(inst->aStreams[0].pFifoBase, nullptr);
    EXPECT_EQ(inst->aStreams[0].hStream, nullptr);
    // The fault was for one start: the next open works.
    ASSERT_EQ(h.Open(0, &rec), 0u);
    EXPECT_EQ(h.Close(), 0u);
}

// Device ID 3 is port B of the second present interface (node 5).
TEST_F(OutPortTest, DeviceIdSelectsInstanceAndPort) {
    OutHandle h;
    ASSERT_EQ(h.Open(3, nullptr, 0), 0u);
    EXPECT_EQ(h.Client()->pInstance, DevNodeToHardwareInstance(5));
    EXPECT_EQ(h.Short(0x403C90), 0u);
    EXPECT_EQ(sim.CapturePackets(5, 'B', 1), (std::vector<uint32_t>{0x03403C90}));
    EXPECT_TRUE(sim.CapturePackets(5, 'A').empty());
    EXPECT_TRUE(sim.CapturePackets(2, 'B').empty());
    EXPECT_EQ(h.Close(), 0u);
}

TEST_F(OutPortTest, ClosingOneOfTwoHandlesKeepsTheStream) {
    OutHandle a, b;
    ASSERT_EQ(a.Open(0, &rec), 0u);
    ASSERT_EQ(b.Open(0, &rec), 0u);
    EXPECT_NE(a.dwUser, b.dwUser);
    HardwareInstance* inst = DevNodeToHardwareInstance(2);
    EXPECT_EQ(inst->cAcquire, 2);
    EXPECT_EQ(inst->aStreams[0].cOpen, 2);
    EXPECT_EQ(a.Close(), 0u);
    EXPECT_EQ(inst->aStreams[0].cOpen, 1);
    EXPECT_EQ(sim.Stats(2)["streams_out_a"], 1u);
    EXPECT_EQ(b.Short(0x403C90), 0u);
    EXPECT_EQ(sim.CapturePackets(2, 'A', 1), (std::vector<uint32_t>{0x03403C90}));
    EXPECT_EQ(b.Close(), 0u);
    EXPECT_EQ(rec.Messages(), (std::vector<UINT>{MOM_OPEN, MOM_OPEN, MOM_CLOSE, MOM_CLOSE}));
}

// After an unplug and a new count, a handle whose ID is now out of range
// still acts on its own port: it sends, and its close closes.
TEST_F(OutPortTest, HandleBeyondTheCountAfterAnUnplugSendsAndCloses) {
    OutHandle h;
    ASSERT_EQ(h.Open(3, &rec), 0u);
    sim.Ok("unplug 2");
    ASSERT_EQ(modMessage(0, MODM_GETNUMDEVS, 0, 0, 0), 2u);
    EXPECT_EQ(h.Short(0x403C90), 0u);
    EXPECT_EQ(h.Close(), 0u);
    EXPECT_EQ(rec.Messages(), (std::vector<UINT>{MOM_OPEN, MOM_CLOSE}));
    EXPECT_EQ(DevNodeToHardwareInstance(5)->cAcquire, 0);
    EXPECT_EQ(sim.CapturePackets(5, 'B'), (std::vector<uint32_t>{0x03403C90}));
}

// A close of a handle whose close is under way, as from inside its own
// MOM_CLOSE, is refused at once; the first close completes as usual.
TEST_F(OutPortTest, CloseDuringItsOwnCloseIsAnInvalidHandle) {
    OutHandle h;
    DWORD dwSecond = 0xFFFF;
    rec.hook = [&](UINT uMsg, DWORD_PTR, DWORD_PTR) {
        if (uMsg == MOM_CLOSE) dwSecond = h.Close();
    };
    ASSERT_EQ(h.Open(1, &rec), 0u);
    EXPECT_EQ(h.Close(), 0u);
    rec.hook = nullptr;
    EXPECT_EQ(dwSecond, static_cast<DWORD>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(rec.Messages(), (std::vector<UINT>{MOM_OPEN, MOM_CLOSE}));
    EXPECT_EQ(DevNodeToHardwareInstance(2)->cAcquire, 0);
}

// Null handle values are refused instead of followed.
TEST_F(OutPortTest, NullHandleIsInvalid) {
    for (UINT uMsg : {MODM_CLOSE, MODM_DATA, MODM_LONGDATA, MODM_RESET}) {
        EXPECT_EQ(modMessage(0, uMsg, 0, 0x403C90, 0), static_cast<DWORD>(MMSYSERR_INVALHANDLE));
    }
    OutHandle h;
    ASSERT_EQ(h.Open(0, &rec), 0u);
    EXPECT_EQ(modMessage(0, MODM_LONGDATA, h.dwUser, 0, sizeof(MIDIHDR)),
              static_cast<DWORD>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(rec.Messages(), std::vector<UINT>{MOM_OPEN});
    EXPECT_EQ(h.Close(), 0u);
}

// An open without a description or without a place for the handle value, and
// a capability request without a record, are refused; the open before anything
// is acquired, started or notified.
TEST_F(OutPortTest, OpenWithNullPointersIsRefused) {
    MIDIOPENDESC desc{};
    desc.dwCallback = rec.Callback();
    desc.dwInstance = rec.Instance();
    DWORD_PTR dwUser = 0x5A5A;
    EXPECT_EQ(modMessage(0, MODM_OPEN, 0, reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_FUNCTION),
              static_cast<DWORD>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(modMessage(0, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&dwUser), 0, CALLBACK_FUNCTION),
              static_cast<DWORD>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(dwUser, 0x5A5Au);
    EXPECT_EQ(modMessage(0, MODM_GETDEVCAPS, 0, 0, sizeof(MIDIOUTCAPSW)),
              static_cast<DWORD>(MMSYSERR_INVALPARAM));
    HardwareInstance* pInstance = DevNodeToHardwareInstance(2);
    EXPECT_EQ(pInstance->cAcquire, 0);
    EXPECT_EQ(pInstance->aStreams[0].cOpen, 0);
    EXPECT_EQ(SharedDataOfSystem()->cNtAcquire[2], 0);
    EXPECT_TRUE(rec.Messages().empty());
    EXPECT_EQ(sim.Stats(2).at("descriptor"), 0u);
}

}  // namespace
