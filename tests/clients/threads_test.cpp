// Opens, closes and sends of one interface from several threads at once, as
// applications with a thread per port make them, and a thread that keeps
// counting the devices meanwhile.
#include "host/os/host.h"
#include "tests/clients/clients.h"
#include "tests/support/sim_process.h"
#include "tests/support/watchdog.h"

namespace {

using clients::OnThreads;
using clients::Tally;

// One port by direction and device ID.
struct Port {
    bool fOut;
    UINT id;
};

// Opens and closes a port cRounds times; every answer goes to the tally.
void OpenAndClose(const Port& port, int cRounds, Tally* tally) {
    for (int i = 0; i < cRounds; ++i) {
        if (port.fOut) {
            HMIDIOUT h = nullptr;
            if (tally->Add("midiOutOpen", midiOutOpen(&h, port.id, 0, 0, CALLBACK_NULL)) == 0)
                tally->Add("midiOutClose", midiOutClose(h));
        } else {
            HMIDIIN h = nullptr;
            if (tally->Add("midiInOpen", midiInOpen(&h, port.id, 0, 0, CALLBACK_NULL)) == 0)
                tally->Add("midiInClose", midiInClose(h));
        }
    }
}

void ExpectNothingLeft(vt::Simulator& sim) {
    EXPECT_EQ(VtMmOpenHandles(), 0u);
    auto stats = sim.Stats(0);
    EXPECT_EQ(stats["streams_out_a"], 0u);
    EXPECT_EQ(stats["streams_out_b"], 0u);
    EXPECT_EQ(stats["streams_in"], 0u);
}

// Each row: the ports that threads open and close at the same time, one
// thread each, how many rounds every thread makes, and the port of the same
// interface held open meanwhile, if any (the acquisition is then only
// counted, and the threads meet in the stream's start and stop).
TEST(Threads, OpenAndCloseAtOnceAllSucceed) {
    struct Case {
        const char* what;
        std::vector<Port> ports;
        int cRounds;
        const Port* pHeld;
    };
    const Port outB{true, 1}, inB{false, 1};
    const Case cases[] = {
        {"the two outputs of one interface", {{true, 0}, {true, 1}}, 300, nullptr},
        {"the two outputs, an input held open", {{true, 0}, {true, 1}}, 1000, &inB},
        {"one output port", {{true, 0}, {true, 0}}, 500, &inB},
        {"one input port", {{false, 0}, {false, 0}}, 300, &outB},
        {"every port of one interface",
         {{true, 0}, {true, 1}, {false, 0}, {false, 1}},
         150,
         nullptr},
    };
    vt::Simulator sim("--nodes 0 --rate fast");
    ASSERT_EQ(midiOutGetNumDevs(), 2u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vt::Watchdog dog(std::chrono::seconds(30), std::string("opening and closing ") + c.what);
        HMIDIOUT heldOut = nullptr;
        HMIDIIN heldIn = nullptr;
        if (c.pHeld && c.pHeld->fOut) {
            ASSERT_EQ(midiOutOpen(&heldOut, c.pHeld->id, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        } else if (c.pHeld) {
            ASSERT_EQ(midiInOpen(&heldIn, c.pHeld->id, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        }
        Tally tally;
        OnThreads(static_cast<int>(c.ports.size()),
                  [&](int i) { OpenAndClose(c.ports[i], c.cRounds, &tally); });
        EXPECT_EQ(tally.Failures(), (std::map<std::string, int>{}));
        if (heldOut) {
            EXPECT_EQ(midiOutClose(heldOut), MMSYSERR_NOERROR);
        }
        if (heldIn) {
            EXPECT_EQ(midiInClose(heldIn), MMSYSERR_NOERROR);
        }
        ExpectNothingLeft(sim);
    }
}

// Applications ask for the count now and then to notice new devices. Meanwhile
// every send on an open handle goes out, and every open and close succeeds.
TEST(Threads, CountingDevicesDisturbsNoOtherThread) {
    vt::Simulator sim("--nodes 0,1 --rate fast --no-loopback");
    vt::Watchdog dog(std::chrono::seconds(30), "sending and opening while counting");
    ASSERT_EQ(midiOutGetNumDevs(), 4u);
    HMIDIOUT out = nullptr;
    ASSERT_EQ(midiOutOpen(&out, 2, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    std::atomic<bool> done{false};
    std::atomic<uint64_t> cSent{0};
    Tally tally;
    OnThreads(3, [&](int i) {
        if (i == 0) {
            for (int n = 0; n < 300; ++n) {
                tally.Add("midiOutGetNumDevs 4", midiOutGetNumDevs() == 4 ? 0 : 1);
                tally.Add("midiInGetNumDevs 4", midiInGetNumDevs() == 4 ? 0 : 1);
            }
            done = true;
        } else if (i == 1) {
            // One message at a time, each waiting for room in the ring.
            while (!done) {
                MMRESULT r;
                while ((r = midiOutShortMsg(out, 0x403C90)) == MIDIERR_NOTREADY)
                    std::this_thread::yield();
                if (tally.Add("midiOutShortMsg", r) == MMSYSERR_NOERROR) ++cSent;
            }
        } else {
            while (!done) {
                OpenAndClose({true, 3}, 1, &tally);
                OpenAndClose({false, 1}, 1, &tally);
            }
        }
    });
    EXPECT_EQ(tally.Failures(), (std::map<std::string, int>{}));
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(sim.Stats(1)["drained_out_a"], cSent.load());
}

// After an interface is unplugged and the count asked again, the handles of
// the interface behind it have device IDs beyond the new count: they still
// send, and close for good.
TEST(Threads, HandlesBeyondTheCountAfterAnUnplugStillSendAndClose) {
    vt::Simulator sim("--nodes 0,1 --rate fast");
    ASSERT_EQ(midiOutGetNumDevs(), 4u);
    HMIDIOUT out = nullptr;
    HMIDIIN in = nullptr;
    ASSERT_EQ(midiOutOpen(&out, 3, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(midiInOpen(&in, 3, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    sim.Ok("unplug 0");
    ASSERT_EQ(midiOutGetNumDevs(), 2u);
    ASSERT_EQ(midiInGetNumDevs(), 2u);
    EXPECT_EQ(midiOutShortMsg(out, 0x403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInStart(in), MMSYSERR_NOERROR);
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(VtMmOpenHandles(), 0u);
    EXPECT_EQ(VtHostTimerCount(), 0u);
    EXPECT_EQ(sim.CaptureBytes(1, 'B'), vt::Hex("90 3C 40"));
    auto stats = sim.Stats(1);
    EXPECT_EQ(stats["streams_out_b"], 0u);
    EXPECT_EQ(stats["streams_in"], 0u);
}

}  // namespace
