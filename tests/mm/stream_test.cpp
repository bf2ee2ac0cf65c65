// midiStream as a Windows program sees it: played by the layer through the
// driver to the simulated kernel side, on the manual clock. After each move
// of the clock the test waits until the player has sent what became due and
// sleeps until its next event, and reads that event's time from the clock.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

#include "host/mm/vtmm.h"
#include "host/os/host.h"
#include "include/kernel_abi.h"
#include "tests/mm/fake_driver.h"
#include "tests/support/sim_process.h"

namespace {

constexpr DWORD kT0 = 100000;  // the clock at the start, in ms
constexpr uint64_t kIdle = UINT64_MAX;

// The events of one stream buffer, as a Windows program writes them.
struct Events {
    std::vector<DWORD> words;
    std::vector<DWORD> offsets;  // where each event starts, in bytes

    Events& Add(DWORD dwDelta, DWORD dwEvent, bool fCallback = false) {
        offsets.push_back(static_cast<DWORD>(words.size() * sizeof(DWORD)));
        words.insert(words.end(), {dwDelta, 0, dwEvent | (fCallback ? MEVT_F_CALLBACK : 0)});
        return *this;
    }
    Events& Short(DWORD dwDelta, DWORD dwMsg, bool fCallback = false) {
        return Add(dwDelta, (DWORD(MEVT_SHORTMSG) << 24) | dwMsg, fCallback);
    }
    Events& Tempo(DWORD dwDelta, DWORD dwTempo, bool fCallback = false) {
        return Add(dwDelta, (DWORD(MEVT_TEMPO) << 24) | dwTempo, fCallback);
    }
    Events& Long(DWORD dwDelta, const std::vector<BYTE>& bytes) {
        Add(dwDelta, MEVT_F_LONG | (DWORD(MEVT_LONGMSG) << 24) | DWORD(bytes.size()));
        std::vector<DWORD> data((bytes.size() + 3) / 4);
        std::memcpy(data.data(), bytes.data(), bytes.size());
        words.insert(words.end(), data.begin(), data.end());
        return *this;
    }
};

// A prepared stream buffer over its events.
struct Buffer {
    Events events;
    MIDIHDR hdr{};
    explicit Buffer(Events e) : events(std::move(e)) {
        hdr.lpData = reinterpret_cast<LPSTR>(events.words.data());
        hdr.dwBufferLength = hdr.dwBytesRecorded = DWORD(events.words.size() * sizeof(DWORD));
    }
};

// The notifications of a stream, as (message, header) pairs, awaited.
class Recorder {
  public:
    static void CALLBACK Callback(HMIDIOUT, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dw1,
                                  DWORD_PTR) {
        auto* self = reinterpret_cast<Recorder*>(dwInstance);
        std::lock_guard<std::mutex> lock(self->m_);
        self->seen_.push_back({uMsg, reinterpret_cast<MIDIHDR*>(dw1)});
        if (uMsg == MOM_POSITIONCB)
            self->offsets_.push_back(reinterpret_cast<MIDIHDR*>(dw1)->dwOffset);
        self->cv_.notify_all();
    }
    // The first n notifications, once there are n (none more come later).
    std::vector<std::pair<UINT, MIDIHDR*>> Await(size_t n) {
        std::unique_lock<std::mutex> lock(m_);
        EXPECT_TRUE(cv_.wait_for(lock, std::chrono::seconds(10), [&] { return seen_.size() >= n; }))
            << "only " << seen_.size() << " of " << n << " notifications came";
        return seen_;
    }
    std::vector<DWORD> Offsets() {
        std::lock_guard<std::mutex> lock(m_);
        return offsets_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::pair<UINT, MIDIHDR*>> seen_;
    std::vector<DWORD> offsets_;  // dwOffset at each MOM_POSITIONCB
};

class StreamOnTheClock : public ::testing::Test {
  protected:
    void SetUp() override {
        VtHostSetManualClock(TRUE);
        VtHostSetTime(kT0);
        UINT id = 0;  // node 0, output A
        ASSERT_EQ(midiStreamOpen(&hms, &id, 1, reinterpret_cast<DWORD_PTR>(&Recorder::Callback),
                                 reinterpret_cast<DWORD_PTR>(&rec), CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
        // One tick a millisecond.
        MIDIPROPTIMEDIV div{sizeof div, 480};
        MIDIPROPTEMPO tempo{sizeof tempo, 480000};
        ASSERT_EQ(midiStreamProperty(hms, reinterpret_cast<LPBYTE>(&div),
                                     MIDIPROP_SET | MIDIPROP_TIMEDIV),
                  MMSYSERR_NOERROR);
        ASSERT_EQ(midiStreamProperty(hms, reinterpret_cast<LPBYTE>(&tempo),
                                     MIDIPROP_SET | MIDIPROP_TEMPO),
                  MMSYSERR_NOERROR);
    }
    void TearDown() override {
        if (hms) {
            EXPECT_EQ(midiStreamClose(hms), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(VtMmOpenHandles(), 0u);
        VtHostSetManualClock(FALSE);
    }

    void Queue(Buffer* b) {
        ASSERT_EQ(midiOutPrepareHeader(reinterpret_cast<HMIDIOUT>(hms), &b->hdr, sizeof b->hdr),
                  MMSYSERR_NOERROR);
        ASSERT_EQ(midiStreamOut(hms, &b->hdr, sizeof b->hdr), MMSYSERR_NOERROR);
    }
    // Moves the clock to ms after the start; once the player has played what
    // came due, answers when (µs after the start) it will play next.
    uint64_t At(DWORD ms) {
        VtHostSetTime(kT0 + ms);
        uint64_t next = VtHostNextClockWait(10000);
        return next == kIdle ? kIdle : next - uint64_t{kT0} * 1000;
    }
    std::pair<DWORD, DWORD> Position() {
        MMTIME ms{TIME_MS, {}}, ticks{TIME_TICKS, {}};
        EXPECT_EQ(midiStreamPosition(hms, &ms, sizeof ms), MMSYSERR_NOERROR);
        EXPECT_EQ(midiStreamPosition(hms, &ticks, sizeof ticks), MMSYSERR_NOERROR);
        return {ms.u.ms, ticks.u.ticks};
    }
    // The bytes the first n packets at output A carried.
    std::string Wire(size_t n) {
        std::string s;
        for (uint32_t p : sim.CapturePackets(0, 'A', n))
            for (uint32_t k = 0; k < FifoPacketCount(p); ++k)
                s += vt::HexString(std::vector<BYTE>{BYTE(p >> (8 * k))}) + " ";
        return s;
    }

    vt::Simulator sim{"--nodes 0 --rate fast --no-loopback"};
    Recorder rec;
    HMIDISTRM hms = nullptr;
};

TEST_F(StreamOnTheClock, TempoPauseAndPositionFollowTheClock) {
    Buffer b(Events()
                 .Short(0, 0x403C90, true)
                 .Tempo(10, 240000, true)  // from tick 10 on, half a millisecond a tick
                 .Short(10, 0x003C80, true)
                 .Short(20, 0x403E91, true)
                 .Add(0, DWORD(MEVT_NOP) << 24, true)
                 .Short(40, 0x003E81, true));
    Queue(&b);
    EXPECT_EQ(At(50), kIdle) << "a stream opens paused";
    EXPECT_EQ(Position(), std::make_pair(DWORD(0), DWORD(0)));

    ASSERT_EQ(midiStreamRestart(hms), MMSYSERR_NOERROR);  // at 50 ms
    EXPECT_EQ(At(50), 60000u) << "the first event went at once; the tempo event is due at tick 10";
    EXPECT_EQ(At(59), 60000u);
    EXPECT_EQ(At(60), 65000u) << "ticks of half a millisecond after the tempo change";
    EXPECT_EQ(At(62), 65000u);
    EXPECT_EQ(Position(), std::make_pair(DWORD(12), DWORD(14)));

    ASSERT_EQ(midiStreamPause(hms), MMSYSERR_NOERROR);
    EXPECT_EQ(At(90), kIdle);
    EXPECT_EQ(Position(), std::make_pair(DWORD(12), DWORD(14))) << "paused: the position stands";
    ASSERT_EQ(midiStreamRestart(hms), MMSYSERR_NOERROR);  // at 90 ms, 12 ms played
    EXPECT_EQ(At(90), 93000u);
    EXPECT_EQ(At(93), 103000u);
    EXPECT_EQ(At(103), 123000u);
    EXPECT_EQ(At(123), kIdle) << "the buffer is done";
    EXPECT_EQ(Position(), std::make_pair(DWORD(45), DWORD(80)));
    EXPECT_EQ(At(130), kIdle);
    EXPECT_EQ(Position(), std::make_pair(DWORD(52), DWORD(94))) << "running time goes on";

    // A position callback after each flagged event, with its offset; the
    // buffer comes back done, still marked as a stream's.
    auto seen = rec.Await(8);
    std::vector<UINT> msgs;
    for (const auto& n : seen)
        msgs.push_back(n.first);
    EXPECT_EQ(msgs, (std::vector<UINT>{MOM_OPEN, MOM_POSITIONCB, MOM_POSITIONCB, MOM_POSITIONCB,
                                       MOM_POSITIONCB, MOM_POSITIONCB, MOM_POSITIONCB, MOM_DONE}));
    EXPECT_EQ(seen.back().second, &b.hdr);
    EXPECT_EQ(rec.Offsets(), b.events.offsets);
    EXPECT_EQ(b.hdr.dwFlags, DWORD(MHDR_PREPARED | MHDR_DONE | MHDR_ISSTRM));
    EXPECT_EQ(Wire(4), "90 3C 40 80 3C 00 91 3E 40 81 3E 00 ");
    MIDIPROPTEMPO tempo{sizeof tempo, 0};
    ASSERT_EQ(
        midiStreamProperty(hms, reinterpret_cast<LPBYTE>(&tempo), MIDIPROP_GET | MIDIPROP_TEMPO),
        MMSYSERR_NOERROR);
    EXPECT_EQ(tempo.dwTempo, 240000u);
}

TEST_F(StreamOnTheClock, StopGivesEveryBufferBackAndEndsItsNotes) {
    Buffer first(Events()
                     .Short(0, 0x403C90)
                     .Short(0, 0x404091)
                     .Long(0, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7})
                     .Short(0, 0x004091)  // turns its note off again
                     .Short(100, 0x404392));
    Buffer second(Events().Short(0, 0x404593));
    Queue(&first);
    Queue(&second);
    ASSERT_EQ(midiStreamRestart(hms), MMSYSERR_NOERROR);
    EXPECT_EQ(At(10), 100000u);
    EXPECT_EQ(Wire(5), "90 3C 40 91 40 40 F0 7E 7F 06 01 F7 91 40 00 ");

    ASSERT_EQ(midiStreamStop(hms), MMSYSERR_NOERROR);
    // Both buffers are back when the call returns, and what the stream left
    // sounding is off.
    EXPECT_EQ(first.hdr.dwFlags & (MHDR_DONE | MHDR_INQUEUE), DWORD(MHDR_DONE));
    EXPECT_EQ(second.hdr.dwFlags & (MHDR_DONE | MHDR_INQUEUE), DWORD(MHDR_DONE));
    auto seen = rec.Await(3);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1], std::make_pair(UINT(MOM_DONE), &first.hdr));
    EXPECT_EQ(seen[2], std::make_pair(UINT(MOM_DONE), &second.hdr));
    EXPECT_EQ(Wire(1), "80 3C 00 ");
    EXPECT_EQ(At(500), kIdle) << "stopped is paused";
    EXPECT_EQ(Position(), std::make_pair(DWORD(0), DWORD(0)));

    // It plays again from the start.
    Queue(&second);
    ASSERT_EQ(midiStreamRestart(hms), MMSYSERR_NOERROR);
    EXPECT_EQ(At(500), kIdle);
    EXPECT_EQ(Wire(1), "93 45 40 ");
}

TEST_F(StreamOnTheClock, ABufferThatComesLatePlaysAtOnceAndKeepsItsTicks) {
    ASSERT_EQ(midiStreamRestart(hms), MMSYSERR_NOERROR);
    EXPECT_EQ(At(30), kIdle);
    // Its events were due at 10 and 40 ms: the first plays now, the second
    // at its own time.
    Buffer b(Events().Short(10, 0x403C90).Short(30, 0x003C80));
    Queue(&b);
    EXPECT_EQ(At(30), 40000u);
    EXPECT_EQ(At(40), kIdle);
    EXPECT_EQ(Wire(2), "90 3C 40 80 3C 00 ");
}

// ---------------------------------------------------------------- the calls' rules
// Against the recording stand-in for the driver.
class StreamCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("VELTRANE_DRIVER", VT_FAKE_DRIVER, 1);
        FakeReset();
        UINT id = 1;
        ASSERT_EQ(midiStreamOpen(&hms, &id, 1, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    }
    void TearDown() override {
        if (hms) {
            EXPECT_EQ(midiStreamClose(hms), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(VtMmOpenHandles(), 0u);
    }
    MMRESULT Property(DWORD dwFlags, DWORD* pdwValue, DWORD cb = 8) {
        DWORD record[2] = {cb, *pdwValue};
        MMRESULT r = midiStreamProperty(hms, reinterpret_cast<LPBYTE>(record), dwFlags);
        *pdwValue = record[1];
        return r;
    }
    HMIDISTRM hms = nullptr;
};

TEST_F(StreamCalls, OpenPropertiesAndPositionCheckWhatTheyAreGiven) {
    HMIDISTRM h = nullptr;
    UINT id = 0;
    EXPECT_EQ(midiStreamOpen(nullptr, &id, 1, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiStreamOpen(&h, nullptr, 1, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiStreamOpen(&h, &id, 2, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiStreamOpen(&h, &id, 1, 0, 0, CALLBACK_WINDOW), MMSYSERR_INVALFLAG);
    EXPECT_EQ(h, nullptr);

    DWORD v = 0;
    EXPECT_EQ(Property(MIDIPROP_GET | MIDIPROP_TEMPO, &v), MMSYSERR_NOERROR);
    EXPECT_EQ(v, 500000u);
    EXPECT_EQ(Property(MIDIPROP_GET | MIDIPROP_TIMEDIV, &v), MMSYSERR_NOERROR);
    EXPECT_EQ(v, 24u);
    struct {
        DWORD flags, value, cb;
        MMRESULT expected;
    } rows[] = {
        {MIDIPROP_GET | MIDIPROP_SET | MIDIPROP_TEMPO, 1, 8, MMSYSERR_INVALPARAM},
        {MIDIPROP_TEMPO, 1, 8, MMSYSERR_INVALPARAM},
        {MIDIPROP_SET | MIDIPROP_TEMPO | MIDIPROP_TIMEDIV, 1, 8, MMSYSERR_INVALPARAM},
        {MIDIPROP_SET | MIDIPROP_TEMPO, 1, 12, MMSYSERR_INVALPARAM},
        {MIDIPROP_SET | MIDIPROP_TEMPO, 0, 8, MMSYSERR_INVALPARAM},
        {MIDIPROP_SET | MIDIPROP_TIMEDIV, 0, 8, MMSYSERR_INVALPARAM},
        {MIDIPROP_SET | MIDIPROP_TIMEDIV, 0xE928, 8, MMSYSERR_INVALPARAM},  // -23 frames
        {MIDIPROP_SET | MIDIPROP_TIMEDIV, 0xE728, 8, MMSYSERR_NOERROR},     // 25 x 40
        {MIDIPROP_SET | MIDIPROP_TIMEDIV, 96, 8, MMSYSERR_NOERROR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.flags);
        DWORD value = row.value;
        EXPECT_EQ(Property(row.flags, &value, row.cb), row.expected);
    }
    EXPECT_EQ(midiStreamProperty(hms, nullptr, MIDIPROP_GET | MIDIPROP_TEMPO), MMSYSERR_INVALPARAM);
    ASSERT_EQ(midiStreamRestart(hms), MMSYSERR_NOERROR);
    v = 48;
    EXPECT_EQ(Property(MIDIPROP_SET | MIDIPROP_TIMEDIV, &v), MIDIERR_STILLPLAYING);
    ASSERT_EQ(midiStreamPause(hms), MMSYSERR_NOERROR);
    EXPECT_EQ(Property(MIDIPROP_SET | MIDIPROP_TIMEDIV, &v), MMSYSERR_NOERROR);

    // Formats without a stream meaning come back in milliseconds.
    MMTIME t{TIME_SAMPLES, {}};
    EXPECT_EQ(midiStreamPosition(hms, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.wType, UINT(TIME_MS));
    t.wType = TIME_MIDI;
    EXPECT_EQ(midiStreamPosition(hms, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.wType, UINT(TIME_MIDI));
    EXPECT_EQ(midiStreamPosition(hms, &t, sizeof t - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiStreamPosition(hms, nullptr, sizeof t), MMSYSERR_INVALPARAM);
}

TEST_F(StreamCalls, BuffersAndHandlesAreCheckedBeforeTheyQueue) {
    DWORD events[6] = {};
    MIDIHDR hdr{};
    hdr.lpData = reinterpret_cast<LPSTR>(events);
    hdr.dwBufferLength = sizeof events;
    hdr.dwBytesRecorded = 12;
    auto hmo = reinterpret_cast<HMIDIOUT>(hms);
    EXPECT_EQ(midiStreamOut(hms, &hdr, sizeof hdr), MIDIERR_UNPREPARED);
    ASSERT_EQ(midiOutPrepareHeader(hmo, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    for (DWORD cb : {DWORD(13), DWORD(sizeof events + 4)}) {
        hdr.dwBytesRecorded = cb;
        EXPECT_EQ(midiStreamOut(hms, &hdr, sizeof hdr), MMSYSERR_INVALPARAM) << cb;
    }
    EXPECT_EQ(hdr.dwFlags, DWORD(MHDR_PREPARED));
    hdr.dwBytesRecorded = 12;
    ASSERT_EQ(midiStreamOut(hms, &hdr, sizeof hdr), MMSYSERR_NOERROR);  // paused: it waits
    EXPECT_EQ(hdr.dwFlags, DWORD(MHDR_PREPARED | MHDR_INQUEUE | MHDR_ISSTRM));
    EXPECT_EQ(midiStreamOut(hms, &hdr, sizeof hdr), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiOutUnprepareHeader(hmo, &hdr, sizeof hdr), MIDIERR_STILLPLAYING);

    // Streams take at most 64 KB a buffer.
    std::vector<char> big(65537);
    MIDIHDR large{};
    large.lpData = big.data();
    large.dwBufferLength = DWORD(big.size());
    EXPECT_EQ(midiOutPrepareHeader(hmo, &large, sizeof large), MMSYSERR_INVALPARAM);

    // The output calls act at once on a stream handle; no other kind passes.
    DWORD mark = FakeCallCount();
    EXPECT_EQ(midiOutShortMsg(hmo, 0x403C90), MMSYSERR_NOERROR);
    ASSERT_EQ(FakeCallCount(), mark + 1);
    EXPECT_EQ(FakeCallAt(mark).uMsg, UINT(MODM_DATA));
    UINT id = 9;
    EXPECT_EQ(midiOutGetID(hmo, &id), MMSYSERR_NOERROR);
    EXPECT_EQ(id, 1u);
    HMIDIOUT out = nullptr;
    ASSERT_EQ(midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    auto notStream = reinterpret_cast<HMIDISTRM>(out);
    EXPECT_EQ(midiStreamRestart(notStream), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiStreamOut(notStream, &hdr, sizeof hdr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiStreamClose(notStream), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiInStart(reinterpret_cast<HMIDIIN>(hms)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(midiOutClose(out), MMSYSERR_NOERROR);

    // Closing gives the queued buffer back first.
    ASSERT_EQ(midiStreamClose(hms), MMSYSERR_NOERROR);
    hms = nullptr;
    EXPECT_EQ(hdr.dwFlags, DWORD(MHDR_PREPARED | MHDR_DONE | MHDR_ISSTRM));
}

// A program that closes its stream again from the notifications of its close
// or of its playing gets an answer, not a hang or a double close.
struct CloseAttempts {
    HMIDISTRM h = nullptr;
    std::mutex m;
    std::condition_variable cv;
    std::vector<MMRESULT> answers;
} gAttempts;

void CALLBACK CloseFromCallback(HMIDIOUT, UINT uMsg, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (uMsg != MOM_CLOSE && uMsg != MOM_DONE) return;
    MMRESULT a = midiStreamClose(gAttempts.h);
    MMRESULT b = midiOutClose(reinterpret_cast<HMIDIOUT>(gAttempts.h));
    std::lock_guard<std::mutex> lock(gAttempts.m);
    gAttempts.answers.insert(gAttempts.answers.end(), {a, b});
    gAttempts.cv.notify_all();
}

TEST_F(StreamCalls, ClosingFromItsOwnNotificationsIsRefused) {
    UINT id = 0;
    ASSERT_EQ(midiStreamOpen(&gAttempts.h, &id, 1, reinterpret_cast<DWORD_PTR>(&CloseFromCallback),
                             0, CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    DWORD nothing = 0;
    MIDIHDR hdr{};
    hdr.lpData = reinterpret_cast<LPSTR>(&nothing);
    hdr.dwBufferLength = sizeof nothing;
    ASSERT_EQ(midiOutPrepareHeader(reinterpret_cast<HMIDIOUT>(gAttempts.h), &hdr, sizeof hdr),
              MMSYSERR_NOERROR);
    ASSERT_EQ(midiStreamOut(gAttempts.h, &hdr, sizeof hdr), MMSYSERR_NOERROR);
    ASSERT_EQ(midiStreamRestart(gAttempts.h), MMSYSERR_NOERROR);
    // The empty buffer's MOM_DONE comes on the player's thread, which cannot
    // wait for itself to end.
    {
        std::unique_lock<std::mutex> lock(gAttempts.m);
        ASSERT_TRUE(gAttempts.cv.wait_for(lock, std::chrono::seconds(10),
                                          [] { return gAttempts.answers.size() == 2; }));
    }
    ASSERT_EQ(midiStreamClose(gAttempts.h), MMSYSERR_NOERROR);
    // MOM_CLOSE comes inside that close: the close is under way.
    std::lock_guard<std::mutex> lock(gAttempts.m);
    EXPECT_EQ(gAttempts.answers,
              (std::vector<MMRESULT>{MMSYSERR_HANDLEBUSY, MMSYSERR_HANDLEBUSY, MMSYSERR_INVALHANDLE,
                                     MMSYSERR_INVALHANDLE}));
}

}  // namespace
