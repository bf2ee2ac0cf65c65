// How late a midiStream's events go out on the real clock: a stream of short
// events 7.2 ms apart, at due times that fall between milliseconds, each with
// a position callback, played by the multimedia layer through the driver to a
// simulated interface taking its output as fast as it can. An event's
// lateness runs from its due time to its callback (right after the driver
// took it). Baseline, in the same round: a bare thread that only waits for
// the same due times with the host's clock wait and the player's timer slack,
// which is all the wake-up any player can get. The figures are each round's
// p99 and maximum lateness; the goal is events within a millisecond. A round
// is one iteration of a Google Benchmark benchmark that runs the baseline,
// then the stream; its figures are counters.
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

#include "bench/support/gbench.h"
#include "bench/support/rig.h"
#include "host/mm/vtmm.h"
#include "host/os/host.h"

namespace {

constexpr const char* kName = "stream_timing";
constexpr double kGoalP99Ms = 1.0;
// 1000 ticks a quarter note at 0.6 s a quarter: 600 us a tick, 12 ticks apart.
constexpr DWORD kTimeDiv = 1000;
constexpr DWORD kTempo = 600000;
constexpr DWORD kTicksApart = 12;
constexpr double kUsPerTick = double(kTempo) / kTimeDiv;

double DueUs(int i) {
    return i * kTicksApart * kUsPerTick;
}

// Lateness in ms from lateness in us.
bench::Tail LatenessMs(std::vector<double> us) {
    bench::Tail t = bench::TailOf(std::move(us));
    return {t.p99 * 1e-3, t.max * 1e-3};
}

// The baseline: a thread that only waits for each due time.
bench::Tail BareThread(int count) {
    std::vector<double> late(count);
    HANDLE never = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    std::thread t([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        uint64_t start = VtHostClockUs();
        for (int i = 0; i < count; ++i) {
            VtHostWaitEventUntil(never, start + static_cast<uint64_t>(std::ceil(DueUs(i))));
            late[i] = double(VtHostClockUs() - start) - DueUs(i);
        }
    });
    t.join();
    CloseHandle(never);
    return LatenessMs(std::move(late));
}

std::vector<uint64_t> gCalledAt;  // the clock at each event's callback
std::atomic<int> gCalled{0};

void CALLBACK OnPosition(HMIDIOUT, UINT uMsg, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (uMsg != MOM_POSITIONCB) return;
    int i = gCalled.load();
    if (i < static_cast<int>(gCalledAt.size())) gCalledAt[i] = VtHostClockUs();
    gCalled.store(i + 1);
}

bench::Tail Stream(HMIDISTRM hms, int count) {
    std::vector<DWORD> events;
    for (int i = 0; i < count; ++i) {
        DWORD note = i % 2 ? 0x003C80 : 0x403C90;
        events.insert(events.end(), {i ? kTicksApart : 0, 0, MEVT_F_CALLBACK | note});
    }
    MIDIHDR hdr{};
    hdr.lpData = reinterpret_cast<LPSTR>(events.data());
    hdr.dwBufferLength = hdr.dwBytesRecorded = DWORD(events.size() * sizeof(DWORD));
    gCalledAt.assign(count, 0);
    gCalled = 0;
    auto hmo = reinterpret_cast<HMIDIOUT>(hms);
    if (midiOutPrepareHeader(hmo, &hdr, sizeof hdr) != MMSYSERR_NOERROR ||
        midiStreamOut(hms, &hdr, sizeof hdr) != MMSYSERR_NOERROR)
        bench::Fail(kName, "the stream took no buffer");
    uint64_t start = VtHostClockUs();
    midiStreamRestart(hms);
    while (!(hdr.dwFlags & MHDR_DONE))
        Sleep(5);
    midiStreamStop(hms);  // back to position 0, paused
    midiOutUnprepareHeader(hmo, &hdr, sizeof hdr);
    if (gCalled != count) bench::Fail(kName, "not every event was played");
    std::vector<double> late(count);
    for (int i = 0; i < count; ++i)
        late[i] = double(gCalledAt[i] - start) - DueUs(i);
    return LatenessMs(std::move(late));
}

}  // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::ScratchRoot root;
    bench::SimChild sim(kName, {"--nodes", "0", "--rate", "fast", "--no-loopback"});
    const int count = o.smoke ? 10 : 100;

    HMIDISTRM hms = nullptr;
    UINT id = 0;
    if (midiStreamOpen(&hms, &id, 1, reinterpret_cast<DWORD_PTR>(&OnPosition), 0,
                       CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        bench::Fail(kName, "cannot open a stream on Out-A: " + std::string(VtMmDriverError()));
    MIDIPROPTIMEDIV div{sizeof div, kTimeDiv};
    MIDIPROPTEMPO tempo{sizeof tempo, kTempo};
    midiStreamProperty(hms, reinterpret_cast<LPBYTE>(&div), MIDIPROP_SET | MIDIPROP_TIMEDIV);
    midiStreamProperty(hms, reinterpret_cast<LPBYTE>(&tempo), MIDIPROP_SET | MIDIPROP_TEMPO);

    auto turns = [&](benchmark::State& state) {
        for (auto _ : state) {
            bench::SetTail(state, "bare", BareThread(count));
            bench::SetTail(state, "stream", Stream(hms, count));
        }
    };
    std::vector<bench::Run> runs = bench::RunRounds(o, kName, {{"turns", turns, 1}})[0];
    bench::Tails stream = bench::TailsOf(runs, "stream"), bare = bench::TailsOf(runs, "bare");
    std::vector<double> ratio;
    for (size_t i = 0; i < stream.p99.size(); ++i)
        ratio.push_back(stream.p99[i] / std::max(bare.p99[i], 0.001));
    midiStreamClose(hms);

    bench::PrintResult(o, kName, bench::TailsText(stream), bench::TailsText(bare),
                       "p99:" + bench::Text(bench::SpreadOf(ratio), "x", 1), "p99<=1ms",
                       bench::Median(stream.p99) <= kGoalP99Ms);
    return 0;
}
