// The multimedia layer's contract, seen from both sides: what applications get
// back, and what reaches the driver's entry points (a recording stand-in).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

#include "host/mm/vtmm.h"
#include "tests/mm/fake_driver.h"
#include "tests/support/support.h"

namespace {

class Layer : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("VELTRANE_DRIVER", VT_FAKE_DRIVER, 1);
        FakeReset();
    }
    void TearDown() override {
        EXPECT_EQ(VtMmOpenHandles(), 0u) << "a test left a handle open";
        EXPECT_EQ(VtMmShutdown(), MMSYSERR_NOERROR);
    }

    // The calls recorded since the mark, of one entry point.
    std::vector<FakeCall> CallsSince(DWORD mark, FakeEntry entry) {
        std::vector<FakeCall> v;
        for (DWORD i = mark; i < FakeCallCount(); ++i)
            if (FakeCallAt(i).entry == entry) v.push_back(FakeCallAt(i));
        return v;
    }
    std::vector<UINT> MessagesSince(DWORD mark, FakeEntry entry) {
        std::vector<UINT> v;
        for (const FakeCall& c : CallsSince(mark, entry))
            v.push_back(c.uMsg);
        return v;
    }
    HMIDIOUT OpenOut(UINT id = 0) {
        HMIDIOUT h = nullptr;
        EXPECT_EQ(midiOutOpen(&h, id, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        return h;
    }
    HMIDIIN OpenIn(UINT id = 0) {
        HMIDIIN h = nullptr;
        EXPECT_EQ(midiInOpen(&h, id, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        return h;
    }
};

// ---------------------------------------------------------------- load and unload

TEST_F(Layer, LoadsOnFirstUseAndUnloadsOnlyWithNoHandleOpen) {
    EXPECT_EQ(FakeCallCount(), 0u);
    EXPECT_EQ(midiOutGetNumDevs(), kFakeNumDevs);
    // Start messages first, then the port counts the driver needs before opens.
    EXPECT_EQ(MessagesSince(0, kFakeDriverProc),
              (std::vector<UINT>{DRV_LOAD, DRV_ENABLE, DRV_OPEN}));
    EXPECT_EQ(FakeCallAt(3).entry, kFakeMod);
    EXPECT_EQ(FakeCallAt(3).uMsg, UINT(MODM_GETNUMDEVS));
    EXPECT_EQ(FakeCallAt(4).entry, kFakeMid);
    EXPECT_EQ(FakeCallAt(4).uMsg, UINT(MIDM_GETNUMDEVS));

    // Loaded once: more calls send no more start messages.
    EXPECT_EQ(midiInGetNumDevs(), kFakeNumDevs);
    HMIDIIN h = OpenIn();
    EXPECT_EQ(MessagesSince(0, kFakeDriverProc).size(), 3u);

    DWORD mark = FakeCallCount();
    EXPECT_EQ(VtMmShutdown(), MMSYSERR_HANDLEBUSY);
    EXPECT_EQ(FakeCallCount(), mark) << "nothing may reach the driver while a handle is open";
    EXPECT_EQ(midiInStart(h), MMSYSERR_NOERROR) << "the handle must still work";
    ASSERT_EQ(midiInClose(h), MMSYSERR_NOERROR);

    mark = FakeCallCount();
    EXPECT_EQ(VtMmShutdown(), MMSYSERR_NOERROR);
    std::vector<FakeCall> stops = CallsSince(mark, kFakeDriverProc);
    ASSERT_EQ(stops.size(), 3u);
    EXPECT_EQ(stops[0].uMsg, UINT(DRV_CLOSE));
    EXPECT_EQ(stops[1].uMsg, UINT(DRV_DISABLE));
    EXPECT_EQ(stops[2].uMsg, UINT(DRV_FREE));
    for (const FakeCall& c : stops)
        EXPECT_EQ(c.dwUser, DWORD_PTR(kFakeDriverId));
    EXPECT_EQ(VtMmShutdown(), MMSYSERR_NOERROR) << "nothing loaded: nothing to do";
    EXPECT_EQ(FakeCallCount(), mark + 3);

    // The next use loads it again.
    EXPECT_EQ(midiOutGetNumDevs(), kFakeNumDevs);
    EXPECT_EQ(MessagesSince(mark + 3, kFakeDriverProc),
              (std::vector<UINT>{DRV_LOAD, DRV_ENABLE, DRV_OPEN}));
}

TEST_F(Layer, DriverThatRefusesToStartIsNoDriver) {
    struct Case {
        UINT uRefused;
        std::vector<UINT> expected;  // DriverProc messages sent
    } cases[] = {
        {DRV_LOAD, {DRV_LOAD}},
        {DRV_OPEN, {DRV_LOAD, DRV_ENABLE, DRV_OPEN, DRV_DISABLE, DRV_FREE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uRefused);
        FakeReset();
        FakeAnswer(kFakeDriverProc, c.uRefused, 0);
        HMIDIOUT h = reinterpret_cast<HMIDIOUT>(1);
        EXPECT_EQ(midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(midiInGetNumDevs(), 0u);
        EXPECT_NE(std::string(VtMmDriverError()), "");
        std::vector<UINT> sent = MessagesSince(0, kFakeDriverProc);
        // Each call tries again; look at the first attempt.
        sent.resize(std::min(sent.size(), c.expected.size()));
        EXPECT_EQ(sent, c.expected);
        EXPECT_TRUE(CallsSince(0, kFakeMod).empty());
    }
    // Once the driver agrees, the next call loads it.
    FakeReset();
    EXPECT_EQ(midiOutGetNumDevs(), kFakeNumDevs);
    EXPECT_EQ(std::string(VtMmDriverError()), "");
}

TEST_F(Layer, MissingLibraryIsNoDriverAndNamesThePath) {
    setenv("VELTRANE_DRIVER", "/nonexistent/libveltrane.so", 1);
    HMIDIIN h = nullptr;
    EXPECT_EQ(midiInOpen(&h, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    MIDIOUTCAPSW caps{};
    EXPECT_EQ(midiOutGetDevCapsW(0, &caps, sizeof caps), MMSYSERR_NODRIVER);
    EXPECT_EQ(midiOutGetNumDevs(), 0u);
    EXPECT_NE(std::string(VtMmDriverError()).find("/nonexistent/libveltrane.so"),
              std::string::npos);
    EXPECT_EQ(FakeCallCount(), 0u);
}

TEST_F(Layer, ProcessExitStopsTheDriverUnlessHandlesAreOpen) {
    struct Case {
        const char* mode;
        std::vector<std::string> log;
    } cases[] = {
        {"idle", {"1 0", "2 0", "3 0", "4 119", "5 119", "6 119"}},
        {"open", {"1 0", "2 0", "3 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        std::string log = vt::TestRoot() + "/driver-" + c.mode + ".log";
        setenv("VT_FAKE_DRIVER_LOG", log.c_str(), 1);
        vt::ChildProcess child({VT_MM_EXIT_CHILD, c.mode});
        EXPECT_EQ(child.Wait(), 0);
        unsetenv("VT_FAKE_DRIVER_LOG");
        std::ifstream in(log);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        EXPECT_EQ(lines, c.log);
    }
}

// ---------------------------------------------------------------- handles

TEST_F(Layer, EveryHandleCallRefusesAnythingButAnOpenHandleOfItsKind) {
    HMIDIOUT out = OpenOut();
    HMIDIIN in = OpenIn();
    HMIDIOUT closedOut = OpenOut();
    ASSERT_EQ(midiOutClose(closedOut), MMSYSERR_NOERROR);
    int local = 0;
    MIDIHDR hdr{};
    char data[4] = {};
    hdr.lpData = data;
    hdr.dwBufferLength = sizeof data;
    UINT id = 0;
    std::vector<HMIDIOUT> badOut = {nullptr, reinterpret_cast<HMIDIOUT>(&local),
                                    reinterpret_cast<HMIDIOUT>(in), closedOut};
    std::vector<HMIDIIN> badIn = {nullptr, reinterpret_cast<HMIDIIN>(&local),
                                  reinterpret_cast<HMIDIIN>(out)};
    DWORD mark = FakeCallCount();
    for (HMIDIOUT h : badOut) {
        EXPECT_EQ(midiOutClose(h), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiOutShortMsg(h, 0x403C90), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiOutLongMsg(h, &hdr, sizeof hdr), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiOutPrepareHeader(h, &hdr, sizeof hdr), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiOutUnprepareHeader(h, &hdr, sizeof hdr), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiOutReset(h), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiOutGetID(h, &id), MMSYSERR_INVALHANDLE);
    }
    for (HMIDIIN h : badIn) {
        EXPECT_EQ(midiInClose(h), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInAddBuffer(h, &hdr, sizeof hdr), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInPrepareHeader(h, &hdr, sizeof hdr), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInUnprepareHeader(h, &hdr, sizeof hdr), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInStart(h), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInStop(h), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInReset(h), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(midiInGetID(h, &id), MMSYSERR_INVALHANDLE);
    }
    EXPECT_EQ(FakeCallCount(), mark) << "a refused call must not reach the driver";
    EXPECT_EQ(hdr.dwFlags, 0u);
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(in), MMSYSERR_NOERROR);
}

TEST_F(Layer, OpenHandsTheDriverTheAppsCallbackAndKeepsTheDeviceId) {
    HMIDIOUT h = nullptr;
    midiOutGetNumDevs();  // loaded before the mark
    DWORD mark = FakeCallCount();
    ASSERT_EQ(midiOutOpen(&h, 3, 0, 0x1234, CALLBACK_NULL), MMSYSERR_NOERROR);
    std::vector<FakeCall> opens = CallsSince(mark, kFakeMod);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].uMsg, UINT(MODM_OPEN));
    EXPECT_EQ(opens[0].uDeviceID, 3u);
    EXPECT_EQ(opens[0].dwParam2, DWORD_PTR(CALLBACK_NULL));
    UINT id = 99;
    EXPECT_EQ(midiOutGetID(h, &id), MMSYSERR_NOERROR);
    EXPECT_EQ(id, 3u);

    // Every later message carries the ID and the value the driver's open stored.
    DWORD_PTR driverUser = *reinterpret_cast<DWORD_PTR*>(opens[0].dwUser);
    mark = FakeCallCount();
    EXPECT_EQ(midiOutShortMsg(h, 0x00403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
    std::vector<FakeCall> later = CallsSince(mark, kFakeMod);
    ASSERT_EQ(later.size(), 3u);
    EXPECT_EQ(later[0].uMsg, UINT(MODM_DATA));
    EXPECT_EQ(later[0].dwParam1, DWORD_PTR(0x00403C90));
    EXPECT_EQ(later[1].uMsg, UINT(MODM_RESET));
    EXPECT_EQ(later[2].uMsg, UINT(MODM_CLOSE));
    for (const FakeCall& c : later) {
        EXPECT_EQ(c.uDeviceID, 3u);
        EXPECT_EQ(c.dwUser, driverUser);
    }
}

TEST_F(Layer, RefusedOpenLeavesNoHandle) {
    FakeAnswer(kFakeMod, MODM_OPEN, MMSYSERR_ALLOCATED);
    FakeAnswer(kFakeMid, MIDM_OPEN, MMSYSERR_BADDEVICEID);
    HMIDIOUT out = reinterpret_cast<HMIDIOUT>(1);
    HMIDIIN in = reinterpret_cast<HMIDIIN>(1);
    EXPECT_EQ(midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
    EXPECT_EQ(midiInOpen(&in, 9, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(VtMmOpenHandles(), 0u);
    EXPECT_EQ(midiOutOpen(nullptr, 0, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInOpen(nullptr, 0, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
}

TEST_F(Layer, RefusedCloseKeepsTheHandle) {
    HMIDIIN in = OpenIn();
    HMIDIOUT out = OpenOut();
    FakeAnswer(kFakeMid, MIDM_CLOSE, MIDIERR_STILLPLAYING);
    FakeAnswer(kFakeMod, MODM_CLOSE, MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiInClose(in), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiOutClose(out), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(VtMmOpenHandles(), 2u);
    EXPECT_EQ(midiInReset(in), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutShortMsg(out, 0x90), MMSYSERR_NOERROR);
    FakeReset();
    EXPECT_EQ(midiInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInReset(in), MMSYSERR_INVALHANDLE);
}

// A close of a handle whose close is under way, as PortMidi makes one from
// inside MOM_CLOSE, is refused at once and never reaches the driver, which
// may be freeing that handle's record at that moment.
MMRESULT gSecondClose;
void CALLBACK CloseAgain(HDRVR h, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (msg == MOM_CLOSE) gSecondClose = midiOutClose(reinterpret_cast<HMIDIOUT>(h));
    if (msg == MIM_CLOSE) gSecondClose = midiInClose(reinterpret_cast<HMIDIIN>(h));
}

TEST_F(Layer, CloseDuringItsOwnCloseIsRefused) {
    auto cb = reinterpret_cast<DWORD_PTR>(&CloseAgain);
    HMIDIOUT out = nullptr;
    HMIDIIN in = nullptr;
    ASSERT_EQ(midiOutOpen(&out, 0, cb, 0, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInOpen(&in, 0, cb, 0, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    DWORD mark = FakeCallCount();
    gSecondClose = MMSYSERR_ERROR;
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(gSecondClose, MMSYSERR_INVALHANDLE);
    gSecondClose = MMSYSERR_ERROR;
    EXPECT_EQ(midiInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(gSecondClose, MMSYSERR_INVALHANDLE);
    EXPECT_EQ(MessagesSince(mark, kFakeMod), std::vector<UINT>{MODM_CLOSE});
    EXPECT_EQ(MessagesSince(mark, kFakeMid), std::vector<UINT>{MIDM_CLOSE});
}

// ---------------------------------------------------------------- callbacks

struct Notification {
    HDRVR h;
    UINT msg;
    DWORD_PTR user, p1;
};
std::vector<Notification> gNotes;
void CALLBACK Record(HDRVR h, UINT msg, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR) {
    gNotes.push_back({h, msg, user, p1});
}

TEST_F(Layer, FunctionCallbacksReachTheAppWithItsHandleAndInstance) {
    gNotes.clear();
    HMIDIOUT out = nullptr;
    HMIDIIN in = nullptr;
    auto cb = reinterpret_cast<DWORD_PTR>(&Record);
    ASSERT_EQ(midiOutOpen(&out, 1, cb, 0xAB, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInOpen(&in, 2, cb, 0xCD, CALLBACK_FUNCTION | MIDI_IO_STATUS), MMSYSERR_NOERROR);
    char data[3] = {'\xF0', 0x01, '\xF7'};
    MIDIHDR hdr{};
    hdr.lpData = data;
    hdr.dwBufferLength = 3;
    ASSERT_EQ(midiOutPrepareHeader(out, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutLongMsg(out, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutUnprepareHeader(out, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInClose(in), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    HDRVR ho = reinterpret_cast<HDRVR>(out), hi = reinterpret_cast<HDRVR>(in);
    ASSERT_EQ(gNotes.size(), 5u);
    struct {
        HDRVR h;
        UINT msg;
        DWORD_PTR user, p1;
    } expected[] = {
        {ho, MOM_OPEN, 0xAB, 0},
        {hi, MIM_OPEN, 0xCD, 0},
        {ho, MOM_DONE, 0xAB, reinterpret_cast<DWORD_PTR>(&hdr)},
        {hi, MIM_CLOSE, 0xCD, 0},
        {ho, MOM_CLOSE, 0xAB, 0},
    };
    for (size_t i = 0; i < gNotes.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(gNotes[i].h, expected[i].h);
        EXPECT_EQ(gNotes[i].msg, expected[i].msg);
        EXPECT_EQ(gNotes[i].user, expected[i].user);
        EXPECT_EQ(gNotes[i].p1, expected[i].p1);
    }
}

TEST_F(Layer, EventCallbacksSignalTheEvent) {
    HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(ev, nullptr);
    HMIDIIN in = nullptr;
    ASSERT_EQ(midiInOpen(&in, 0, reinterpret_cast<DWORD_PTR>(ev), 0, CALLBACK_EVENT),
              MMSYSERR_NOERROR);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0) << "MIM_OPEN sets it";
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    ASSERT_EQ(midiInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0) << "MIM_CLOSE sets it";
    CloseHandle(ev);
}

TEST_F(Layer, CallbackKindsTheHostCannotDeliverAreInvalidFlags) {
    const DWORD refused[] = {CALLBACK_WINDOW, CALLBACK_THREAD, 0x00040000u, 0x00060000u,
                             0x00070000u};
    DWORD mark = FakeCallCount();
    for (DWORD flags : refused) {
        SCOPED_TRACE(flags);
        HMIDIOUT out = reinterpret_cast<HMIDIOUT>(1);
        HMIDIIN in = reinterpret_cast<HMIDIIN>(1);
        EXPECT_EQ(midiOutOpen(&out, 0, 1, 0, flags), MMSYSERR_INVALFLAG);
        EXPECT_EQ(midiInOpen(&in, 0, 1, 0, flags), MMSYSERR_INVALFLAG);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(in, nullptr);
    }
    for (const FakeCall& c : CallsSince(mark, kFakeMod))
        EXPECT_NE(c.uMsg, UINT(MODM_OPEN));
    for (const FakeCall& c : CallsSince(mark, kFakeMid))
        EXPECT_NE(c.uMsg, UINT(MIDM_OPEN));
    EXPECT_EQ(VtMmOpenHandles(), 0u);
}

// ---------------------------------------------------------------- headers

struct Buffer {
    char data[16] = {};
    MIDIHDR hdr{};
    Buffer() {
        hdr.lpData = data;
        hdr.dwBufferLength = sizeof data;
        hdr.dwUser = 0x5151;
        hdr.dwOffset = 7;
    }
};

TEST_F(Layer, HeadersArePreparedByTheLayerWhenTheDriverLeavesItToIt) {
    HMIDIOUT out = OpenOut();
    HMIDIIN in = OpenIn();
    Buffer a, b;
    DWORD mark = FakeCallCount();
    ASSERT_EQ(midiOutPrepareHeader(out, &a.hdr, sizeof a.hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInPrepareHeader(in, &b.hdr, sizeof b.hdr), MMSYSERR_NOERROR);
    EXPECT_EQ(a.hdr.dwFlags, DWORD(MHDR_PREPARED));
    EXPECT_EQ(b.hdr.dwFlags, DWORD(MHDR_PREPARED));
    EXPECT_EQ(MessagesSince(mark, kFakeMod), std::vector<UINT>{MODM_PREPARE});
    EXPECT_EQ(MessagesSince(mark, kFakeMid), std::vector<UINT>{MIDM_PREPARE});
    // Preparing twice asks nobody.
    mark = FakeCallCount();
    EXPECT_EQ(midiOutPrepareHeader(out, &a.hdr, sizeof a.hdr), MMSYSERR_NOERROR);
    EXPECT_EQ(FakeCallCount(), mark);

    ASSERT_EQ(midiInAddBuffer(in, &b.hdr, sizeof b.hdr), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInUnprepareHeader(in, &b.hdr, sizeof b.hdr), MIDIERR_STILLPLAYING);
    EXPECT_EQ(b.hdr.dwFlags, DWORD(MHDR_PREPARED | MHDR_INQUEUE));
    EXPECT_EQ(midiInAddBuffer(in, &b.hdr, sizeof b.hdr), MIDIERR_STILLPLAYING);
    b.hdr.dwFlags &= ~DWORD(MHDR_INQUEUE);  // as the driver returns it
    ASSERT_EQ(midiInUnprepareHeader(in, &b.hdr, sizeof b.hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutUnprepareHeader(out, &a.hdr, sizeof a.hdr), MMSYSERR_NOERROR);
    EXPECT_EQ(a.hdr.dwFlags, 0u);
    EXPECT_EQ(b.hdr.dwFlags, 0u);
    // Nothing but the flags was touched.
    for (Buffer* x : {&a, &b}) {
        EXPECT_EQ(x->hdr.lpData, x->data);
        EXPECT_EQ(x->hdr.dwBufferLength, sizeof x->data);
        EXPECT_EQ(x->hdr.dwUser, DWORD_PTR(0x5151));
        EXPECT_EQ(x->hdr.dwOffset, 7u);
    }
    // Unpreparing what is not prepared succeeds without the driver.
    mark = FakeCallCount();
    EXPECT_EQ(midiOutUnprepareHeader(out, &a.hdr, sizeof a.hdr), MMSYSERR_NOERROR);
    EXPECT_EQ(FakeCallCount(), mark);
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(in), MMSYSERR_NOERROR);
}

TEST_F(Layer, DriverThatPreparesItselfDecides) {
    HMIDIOUT out = OpenOut();
    Buffer a;
    FakeAnswer(kFakeMod, MODM_PREPARE, MMSYSERR_NOERROR);
    FakeAnswer(kFakeMod, MODM_UNPREPARE, MMSYSERR_NOMEM);
    EXPECT_EQ(midiOutPrepareHeader(out, &a.hdr, sizeof a.hdr), MMSYSERR_NOERROR);
    EXPECT_EQ(a.hdr.dwFlags, 0u) << "the driver did not set it, so it stays clear";
    a.hdr.dwFlags = MHDR_PREPARED;
    EXPECT_EQ(midiOutUnprepareHeader(out, &a.hdr, sizeof a.hdr), MMSYSERR_NOMEM);
    EXPECT_EQ(a.hdr.dwFlags, DWORD(MHDR_PREPARED));
    FakeReset();
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
}

TEST_F(Layer, DataHeadersAreCheckedBeforeTheDriverSeesThem) {
    HMIDIOUT out = OpenOut();
    HMIDIIN in = OpenIn();
    Buffer unprepared, prepared, empty, noData;
    ASSERT_EQ(midiOutPrepareHeader(out, &prepared.hdr, sizeof prepared.hdr), MMSYSERR_NOERROR);
    empty.hdr.dwBufferLength = 0;
    empty.hdr.dwFlags = MHDR_PREPARED;
    noData.hdr.lpData = nullptr;
    noData.hdr.dwFlags = MHDR_PREPARED;
    const UINT kShort = offsetof(MIDIHDR, dwOffset) - 1;
    DWORD mark = FakeCallCount();
    EXPECT_EQ(midiOutLongMsg(out, &unprepared.hdr, sizeof(MIDIHDR)), MIDIERR_UNPREPARED);
    EXPECT_EQ(midiInAddBuffer(in, &unprepared.hdr, sizeof(MIDIHDR)), MIDIERR_UNPREPARED);
    EXPECT_EQ(midiOutLongMsg(out, nullptr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInAddBuffer(in, nullptr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiOutLongMsg(out, &prepared.hdr, kShort), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInAddBuffer(in, &prepared.hdr, kShort), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiOutPrepareHeader(out, &unprepared.hdr, kShort), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInPrepareHeader(in, nullptr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInUnprepareHeader(in, &prepared.hdr, kShort), MMSYSERR_INVALPARAM);
    // The driver would write into a buffer without room, or through no pointer.
    EXPECT_EQ(midiInAddBuffer(in, &empty.hdr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInAddBuffer(in, &noData.hdr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiOutLongMsg(out, &noData.hdr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiOutPrepareHeader(out, &noData.hdr, sizeof(MIDIHDR)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(FakeCallCount(), mark);
    EXPECT_EQ(unprepared.hdr.dwFlags, 0u);

    // The older, shorter header is enough, and an empty long message is fine.
    EXPECT_EQ(midiOutLongMsg(out, &prepared.hdr, kShort + 1), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutLongMsg(out, &empty.hdr, sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(MessagesSince(mark, kFakeMod), (std::vector<UINT>{MODM_LONGDATA, MODM_LONGDATA}));
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(in), MMSYSERR_NOERROR);
}

// ---------------------------------------------------------------- the rest

TEST_F(Layer, CapabilitiesInBothWidthsFromTheDriversRecord) {
    // The wide record holds the name's code points, the narrow one its UTF-8.
    MIDIOUTCAPSW ow{};
    MIDIOUTCAPSA oa{};
    ASSERT_EQ(midiOutGetDevCapsW(2, &ow, sizeof ow), MMSYSERR_NOERROR);
    ASSERT_EQ(midiOutGetDevCapsA(2, &oa, sizeof oa), MMSYSERR_NOERROR);
    EXPECT_EQ(std::wstring(ow.szPname), L"Synth \u00e9\U0001D11E");
    EXPECT_STREQ(oa.szPname, "Synth \xC3\xA9\xF0\x9D\x84\x9E");
    EXPECT_EQ(ow.wMid, 0x1234);
    EXPECT_EQ(oa.wPid, 2);
    EXPECT_EQ(oa.vDriverVersion, 0x0401u);
    // 31 two-byte characters: the narrow name stops at a character that fits.
    MIDIINCAPSW iw{};
    MIDIINCAPSA ia{};
    ASSERT_EQ(midiInGetDevCapsW(3, &iw, sizeof iw), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInGetDevCapsA(3, &ia, sizeof ia), MMSYSERR_NOERROR);
    EXPECT_EQ(std::wstring(iw.szPname), std::wstring(31, L'\u00e9'));
    std::string fifteen;
    for (int i = 0; i < 15; ++i)
        fifteen += "\xC3\xA9";
    EXPECT_EQ(std::string(ia.szPname), fifteen);
    // A short size gets the beginning of the record and nothing more.
    MIDIOUTCAPSA part;
    std::memset(&part, 0xAB, sizeof part);
    ASSERT_EQ(midiOutGetDevCapsA(0, &part, 4), MMSYSERR_NOERROR);
    EXPECT_EQ(part.wMid, 0x1234);
    EXPECT_EQ(part.wPid, 0);
    EXPECT_EQ(reinterpret_cast<BYTE*>(&part)[4], 0xAB);
    // An open handle stands for its device.
    HMIDIOUT h = OpenOut(2);
    ASSERT_EQ(midiOutGetDevCapsW(reinterpret_cast<UINT_PTR>(h), &ow, sizeof ow), MMSYSERR_NOERROR);
    EXPECT_EQ(ow.wPid, 2);
    EXPECT_EQ(midiOutClose(h), MMSYSERR_NOERROR);
    // The driver's refusal comes back; a null record and the mapper (there is
    // none) never reach it.
    FakeAnswer(kFakeMid, MIDM_GETDEVCAPS, MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiInGetDevCapsA(9, &ia, sizeof ia), MMSYSERR_BADDEVICEID);
    DWORD mark = FakeCallCount();
    EXPECT_EQ(midiOutGetDevCapsA(MIDI_MAPPER, &oa, sizeof oa), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiInGetDevCapsW(MIDIMAPPER, &iw, sizeof iw), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiOutGetDevCapsW(0, nullptr, sizeof ow), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInGetDevCapsA(0, nullptr, sizeof ia), MMSYSERR_INVALPARAM);
    EXPECT_EQ(FakeCallCount(), mark);
}

TEST_F(Layer, NoMapperNoThruAndOnlyTheDriversOwnMessages) {
    midiOutGetNumDevs();
    DWORD mark = FakeCallCount();
    HMIDIOUT out = reinterpret_cast<HMIDIOUT>(1);
    HMIDIIN in = reinterpret_cast<HMIDIIN>(1);
    HMIDISTRM strm = reinterpret_cast<HMIDISTRM>(1);
    UINT mapper = MIDI_MAPPER;
    EXPECT_EQ(midiOutOpen(&out, MIDI_MAPPER, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiInOpen(&in, MIDIMAPPER, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(midiStreamOpen(&strm, &mapper, 1, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(strm, nullptr);
    EXPECT_EQ(FakeCallCount(), mark);

    out = OpenOut();
    in = OpenIn();
    int local = 0;
    auto bad = reinterpret_cast<HMIDIOUT>(&local);
    EXPECT_EQ(midiConnect(reinterpret_cast<HMIDI>(in), out, nullptr), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(midiDisconnect(reinterpret_cast<HMIDI>(in), out, nullptr), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(midiConnect(reinterpret_cast<HMIDI>(in), bad, nullptr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiConnect(reinterpret_cast<HMIDI>(bad), out, nullptr), MMSYSERR_INVALHANDLE);
    // Standard messages have calls of their own; the driver's own pass.
    mark = FakeCallCount();
    EXPECT_EQ(midiOutMessage(out, MODM_CLOSE, 0, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiInMessage(in, MIDM_STOP, 0, 0), MMSYSERR_INVALPARAM);
    EXPECT_EQ(FakeCallCount(), mark);
    FakeAnswer(kFakeMod, DRV_RESERVED + 12, 77);
    EXPECT_EQ(midiOutMessage(out, DRV_RESERVED + 12, 5, 6), 77u);
    EXPECT_EQ(midiOutMessage(bad, DRV_RESERVED + 12, 5, 6), MMSYSERR_INVALHANDLE);
    std::vector<FakeCall> sent = CallsSince(mark, kFakeMod);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].dwParam1, 5u);
    EXPECT_EQ(sent[0].dwParam2, 6u);
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(in), MMSYSERR_NOERROR);
}

TEST(ErrorText, KnownCodesInBothWidthsCutToTheBuffer) {
    struct Case {
        MMRESULT code;
        const char* text;
    } cases[] = {
        {MMSYSERR_NOERROR, "The specified command was carried out."},
        {MMSYSERR_ALLOCATED, "The specified device is already in use."},
        {MMSYSERR_INVALHANDLE, "The specified device handle is invalid."},
        {MMSYSERR_NODRIVER, "There is no driver installed on your system."},
        {MIDIERR_STILLPLAYING, "Cannot perform this operation while media data is still playing."},
        {MIDIERR_NOTREADY, "The port is transmitting data to the device."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        char a[MAXERRORLENGTH], ai[MAXERRORLENGTH];
        WCHAR w[MAXERRORLENGTH], wi[MAXERRORLENGTH];
        ASSERT_EQ(midiOutGetErrorTextA(c.code, a, MAXERRORLENGTH), MMSYSERR_NOERROR);
        ASSERT_EQ(midiInGetErrorTextA(c.code, ai, MAXERRORLENGTH), MMSYSERR_NOERROR);
        ASSERT_EQ(midiOutGetErrorTextW(c.code, w, MAXERRORLENGTH), MMSYSERR_NOERROR);
        ASSERT_EQ(midiInGetErrorTextW(c.code, wi, MAXERRORLENGTH), MMSYSERR_NOERROR);
        EXPECT_EQ(std::string(a).rfind(c.text, 0), 0u) << a;
        EXPECT_EQ(std::string(ai), std::string(a));
        EXPECT_EQ(vt::Narrow(w), std::string(a));
        EXPECT_EQ(vt::Narrow(wi), std::string(a));
    }
    // Every code from 0 to 21 and 64 to 71 has a text; those between do not.
    for (MMRESULT r = 0; r < 100; ++r) {
        char a[MAXERRORLENGTH] = "untouched";
        bool known = r <= MMSYSERR_LASTERROR || (r >= MIDIERR_BASE && r <= MIDIERR_LASTERROR);
        EXPECT_EQ(midiOutGetErrorTextA(r, a, sizeof a),
                  known ? MMSYSERR_NOERROR : MMSYSERR_BADERRNUM)
            << r;
        if (!known) {
            EXPECT_STREQ(a, "untouched");
        }
    }
    WCHAR cut[10];
    std::fill(std::begin(cut), std::end(cut), L'x');
    ASSERT_EQ(midiOutGetErrorTextW(MMSYSERR_ALLOCATED, cut, 10), MMSYSERR_NOERROR);
    EXPECT_EQ(vt::Narrow(cut), "The speci");
    char none[4] = "abc";
    EXPECT_EQ(midiInGetErrorTextA(MMSYSERR_ALLOCATED, none, 0), MMSYSERR_NOERROR);
    EXPECT_STREQ(none, "abc");
    EXPECT_EQ(midiInGetErrorTextA(MMSYSERR_ALLOCATED, nullptr, 10), MMSYSERR_INVALPARAM);
}

}  // namespace
