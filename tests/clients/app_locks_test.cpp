// Callbacks of applications that hold locks of their own: a callback that
// waits for the application's lock while another thread holding it resets
// and closes the port.
#include <memory>

#include "tests/clients/clients.h"
#include "tests/support/sim_process.h"
#include "tests/support/support.h"
#include "tests/support/watchdog.h"

namespace {

using vt::Eventually;

// What an application keeps per input port, in the manner of RtMidi: its own
// lock, which the callback takes to queue the next sysex buffer and the
// closing thread holds around reset, stop and close. Re-entrant, like a
// CRITICAL_SECTION: the reset on the closing thread calls back into it.
struct InputApp {
    std::recursive_mutex lock;
    HMIDIIN h = nullptr;
    char data[2][64] = {};
    MIDIHDR hdr[2] = {};
    std::atomic<int> entered{0}, left{0}, received{0};
    // Taken once the close returned, with the lock still held.
    int enteredAtClose = 0, insideAtClose = 0;
};

void CALLBACK InputCallback(HDRVR h, UINT msg, DWORD_PTR dwInstance, DWORD_PTR dw1, DWORD_PTR) {
    auto* app = reinterpret_cast<InputApp*>(dwInstance);
    ++app->entered;
    if (msg == MIM_DATA || msg == MIM_LONGDATA) {
        std::lock_guard<std::recursive_mutex> guard(app->lock);
        auto* hdr = reinterpret_cast<MIDIHDR*>(dw1);
        // A buffer comes back empty only at the reset: it is not queued again.
        if (msg == MIM_LONGDATA && hdr->dwBytesRecorded > 0)
            midiInAddBuffer(reinterpret_cast<HMIDIIN>(h), hdr, sizeof *hdr);
        ++app->received;
    }
    ++app->left;
}

// Plays short messages and sysex to output A until told to stop; the
// simulator loops them back to input A.
class Player {
  public:
    Player() {
        EXPECT_EQ(midiOutOpen(&out_, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        thread_ = std::thread([this] { Play(); });
    }
    ~Player() {
        stop_ = true;
        thread_.join();
        EXPECT_EQ(midiOutClose(out_), MMSYSERR_NOERROR);
    }

  private:
    void Play() {
        char sysex[] = {'\xF0', 0x7D, 0x01, 0x02, 0x03, '\xF7'};
        MIDIHDR hdr{};
        hdr.lpData = sysex;
        hdr.dwBufferLength = sizeof sysex;
        midiOutPrepareHeader(out_, &hdr, sizeof hdr);
        while (!stop_) {
            // A full ring answers MIDIERR_NOTREADY: the next round tries again.
            midiOutShortMsg(out_, 0x403C90);
            midiOutLongMsg(out_, &hdr, sizeof hdr);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        midiOutUnprepareHeader(out_, &hdr, sizeof hdr);
    }
    HMIDIOUT out_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void OpenAndStart(InputApp* app) {
    ASSERT_EQ(midiInOpen(&app->h, 0, reinterpret_cast<DWORD_PTR>(&InputCallback),
                         reinterpret_cast<DWORD_PTR>(app), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    for (int i = 0; i < 2; ++i) {
        app->hdr[i].lpData = app->data[i];
        app->hdr[i].dwBufferLength = sizeof app->data[i];
        ASSERT_EQ(midiInPrepareHeader(app->h, &app->hdr[i], sizeof(MIDIHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(midiInAddBuffer(app->h, &app->hdr[i], sizeof(MIDIHDR)), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(midiInStart(app->h), MMSYSERR_NOERROR);
}

// Each round the closing thread takes the application's lock, waits until a
// callback is stuck on it, then resets, stops, unprepares and closes. Nothing
// may deadlock, and after the close returned at most the one delivery that
// was already under way may still reach the application.
TEST(AppLocks, CallbackWaitsForTheLockThatTheClosingThreadHolds) {
    vt::Simulator sim("--nodes 0 --rate fast");
    vt::Watchdog dog(std::chrono::seconds(30), "the rounds of reset and close");
    ASSERT_EQ(midiInGetNumDevs(), 2u);
    Player player;
    // Kept for the life of the process: a delivery under way at a close may
    // still reach its record after the close returned.
    static auto* apps = new std::vector<std::unique_ptr<InputApp>>;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        apps->push_back(std::make_unique<InputApp>());
        InputApp* app = apps->back().get();
        OpenAndStart(app);
        std::unique_lock<std::recursive_mutex> hold(app->lock);
        ASSERT_TRUE(Eventually([&] { return app->entered - app->left > 0; }))
            << "no callback came to wait for the lock";
        EXPECT_EQ(midiInReset(app->h), MMSYSERR_NOERROR);
        EXPECT_EQ(midiInStop(app->h), MMSYSERR_NOERROR);
        for (MIDIHDR& hdr : app->hdr)
            EXPECT_EQ(midiInUnprepareHeader(app->h, &hdr, sizeof hdr), MMSYSERR_NOERROR);
        EXPECT_EQ(midiInClose(app->h), MMSYSERR_NOERROR);
        app->enteredAtClose = app->entered;
        app->insideAtClose = app->entered - app->left;
    }
    // A fresh handle that hears the player again: every delivery that was
    // under way at a close has run by now.
    apps->push_back(std::make_unique<InputApp>());
    InputApp* last = apps->back().get();
    OpenAndStart(last);
    ASSERT_TRUE(Eventually([&] { return last->received > 10; }));
    EXPECT_EQ(midiInReset(last->h), MMSYSERR_NOERROR);
    EXPECT_EQ(midiInClose(last->h), MMSYSERR_NOERROR);
    for (size_t i = 0; i + 1 < apps->size(); ++i) {
        const InputApp& app = *(*apps)[i];
        EXPECT_GE(app.insideAtClose, 1) << "round " << i;
        EXPECT_EQ(app.entered, app.left) << "round " << i;
        EXPECT_LE(app.entered - app.enteredAtClose + app.insideAtClose, 1) << "round " << i;
    }
}

}  // namespace
