// How late a midiStream's events go out on the real clock: a stream of short
// events 15 ms apart (at due times that fall between milliseconds), each with
// a position callback, played through the driver to the simulated kernel
// side; an event's lateness is the time of its callback (right after the
// driver took it) after its due time. The baseline in the same run: a bare
// thread waiting for the same due times with the host's clock wait and the
// player's timer slack, which is all the wake-up any player can get. Reports
// both, their ratio, and the
// share of events within 1 ms. Measures and prints; asserts nothing.
#include <benchmark/benchmark.h>

#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

#include "host/os/host.h"
#include "tests/support/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEvents = 200;
// 1000 ticks a quarter note at 0.6 s a quarter: 600 us a tick, so that due
// times fall between milliseconds; 25 ticks (15 ms) apart.
constexpr DWORD kTimeDiv = 1000;
constexpr DWORD kTempo = 600000;
constexpr DWORD kTicksApart = 25;
constexpr double kUsPerTick = double(kTempo) / kTimeDiv;

double DueUs(int i) {
    return i * kTicksApart * kUsPerTick;
}

struct Stats {
    double p50 = 0, p99 = 0, max = 0, within1ms = 0;
};

Stats Summarize(std::vector<double> lateUs) {
    std::sort(lateUs.begin(), lateUs.end());
    Stats s;
    s.p50 = lateUs[lateUs.size() / 2];
    s.p99 = lateUs[lateUs.size() * 99 / 100];
    s.max = lateUs.back();
    s.within1ms =
        100.0 * std::count_if(lateUs.begin(), lateUs.end(), [](double v) { return v <= 1000.0; }) /
        lateUs.size();
    return s;
}

// The baseline: a thread that only waits for each due time and notes when
// it woke.
std::vector<double> BareThread() {
    std::vector<double> late(kEvents);
    HANDLE never = CreateEvent(nullptr, FALSE, FALSE, nullptr);
    std::thread t([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        uint64_t start = VtHostClockUs();
        for (int i = 0; i < kEvents; ++i) {
            uint64_t due = start + static_cast<uint64_t>(DueUs(i) + 0.999);
            VtHostWaitEventUntil(never, due);
            late[i] = double(VtHostClockUs() - start) - DueUs(i);
        }
    });
    t.join();
    CloseHandle(never);
    return late;
}

struct Seen {
    std::atomic<int> n{0};
    uint64_t atUs[kEvents] = {};
};

void CALLBACK OnPosition(HMIDIOUT, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR, DWORD_PTR) {
    if (uMsg != MOM_POSITIONCB) return;
    auto* seen = reinterpret_cast<Seen*>(dwInstance);
    int i = seen->n.load();
    if (i < kEvents) seen->atUs[i] = VtHostClockUs();
    seen->n.store(i + 1);
}

// The stream: answers each event's lateness, or nothing when it could not play.
std::vector<double> Stream() {
    Seen seen;
    UINT id = 0;
    HMIDISTRM hms = nullptr;
    if (midiStreamOpen(&hms, &id, 1, reinterpret_cast<DWORD_PTR>(&OnPosition),
                       reinterpret_cast<DWORD_PTR>(&seen), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        return {};
    MIDIPROPTIMEDIV div{sizeof div, kTimeDiv};
    MIDIPROPTEMPO tempo{sizeof tempo, kTempo};
    midiStreamProperty(hms, reinterpret_cast<LPBYTE>(&div), MIDIPROP_SET | MIDIPROP_TIMEDIV);
    midiStreamProperty(hms, reinterpret_cast<LPBYTE>(&tempo), MIDIPROP_SET | MIDIPROP_TEMPO);
    std::vector<DWORD> events;
    for (int i = 0; i < kEvents; ++i) {
        DWORD note = i % 2 ? 0x003C80 : 0x403C90;
        events.insert(events.end(), {i ? kTicksApart : 0, 0, MEVT_F_CALLBACK | note});
    }
    MIDIHDR hdr{};
    hdr.lpData = reinterpret_cast<LPSTR>(events.data());
    hdr.dwBufferLength = hdr.dwBytesRecorded = DWORD(events.size() * sizeof(DWORD));
    midiOutPrepareHeader(reinterpret_cast<HMIDIOUT>(hms), &hdr, sizeof hdr);
    midiStreamOut(hms, &hdr, sizeof hdr);
    uint64_t start = VtHostClockUs();
    midiStreamRestart(hms);
    while (!(hdr.dwFlags & MHDR_DONE))
        Sleep(10);
    midiStreamClose(hms);
    std::vector<double> late;
    for (int i = 0; i < std::min(seen.n.load(), kEvents); ++i)
        late.push_back(double(seen.atUs[i] - start) - DueUs(i));
    return late;
}

void BM_StreamEventLateness(benchmark::State& state) {
    vt::Simulator sim("--nodes 0 --rate fast --no-loopback");
    std::vector<double> bare, stream;
    for (auto _ : state) {
        std::vector<double> b = BareThread();
        std::vector<double> s = Stream();
        if (s.size() != size_t(kEvents)) {
            state.SkipWithError("the stream did not play every event");
            return;
        }
        bare.insert(bare.end(), b.begin(), b.end());
        stream.insert(stream.end(), s.begin(), s.end());
    }
    Stats b = Summarize(bare), s = Summarize(stream);
    state.counters["bare_p50_us"] = b.p50;
    state.counters["bare_p99_us"] = b.p99;
    state.counters["bare_max_us"] = b.max;
    state.counters["stream_p50_us"] = s.p50;
    state.counters["stream_p99_us"] = s.p99;
    state.counters["stream_max_us"] = s.max;
    state.counters["p99_ratio"] = s.p99 / std::max(b.p99, 1.0);
    state.counters["stream_within_1ms_pct"] = s.within1ms;
}
BENCHMARK(BM_StreamEventLateness)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
