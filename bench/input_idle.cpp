// What open input costs while nothing arrives: 16 input handles open through
// the multimedia layer (8 on each input of one interface), started; the
// process's CPU time, as a share of one core. The baseline: one bare 1 ms
// periodic timer with an empty callback, in the same process. A round is one
// iteration of a Google Benchmark benchmark that takes turns between the two,
// four spans of a quarter second each, so that a change of load on the
// machine hits both alike; its figures are counters (the CPU time is not the
// benchmark's own timing). The simulator runs in a child process and is not
// counted.
#include <time.h>

#include <windows.h>
#include <mmsystem.h>

#include "bench/support/gbench.h"
#include "bench/support/rig.h"
#include "host/mm/vtmm.h"

namespace {

constexpr const char* kName = "input_idle";
constexpr double kGoal = 1.1;
constexpr int kHandles = 16;

void SleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

constexpr int kSpans = 4;  // turns of each in a round

// CPU and wall time of this process over spans in which the calling thread
// sleeps.
struct Share {
    double cpu = 0, wall = 0;
    void AddSpan(int ms) {
        double cpu0 = bench::ProcessCpuSeconds();
        int64_t wall0 = bench::NowNs();
        SleepMs(ms);
        cpu += bench::ProcessCpuSeconds() - cpu0;
        wall += double(bench::NowNs() - wall0) * 1e-9;
    }
    double Percent() const { return wall > 0 ? cpu / wall * 100.0 : 0; }
};

void HandlesSpan(Share* share, int ms) {
    HMIDIIN handles[kHandles];
    for (int i = 0; i < kHandles; ++i) {
        if (midiInOpen(&handles[i], i & 1, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
            bench::Fail(kName, "cannot open input " + std::to_string(i & 1));
        midiInStart(handles[i]);
    }
    SleepMs(50);  // settled
    share->AddSpan(ms);
    for (HMIDIIN h : handles)
        midiInClose(h);
}

void CALLBACK Nothing(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

void BareTimerSpan(Share* share, int ms) {
    timeBeginPeriod(1);
    UINT id = timeSetEvent(1, 1, Nothing, 0, TIME_PERIODIC);
    if (id == 0) bench::Fail(kName, "timeSetEvent failed");
    SleepMs(50);
    share->AddSpan(ms);
    timeKillEvent(id);
    timeEndPeriod(1);
}

}  // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::ScratchRoot root;
    bench::SimChild sim(kName, {"--nodes", "0"});
    if (midiInGetNumDevs() < 2) bench::Fail(kName, "no inputs: " + std::string(VtMmDriverError()));
    const int ms = (o.smoke ? 100 : 1000) / kSpans;

    auto turns = [&](benchmark::State& state) {
        for (auto _ : state) {
            Share handles, bare;
            for (int i = 0; i < kSpans; ++i) {
                HandlesSpan(&handles, ms);
                BareTimerSpan(&bare, ms);
            }
            state.counters["handles_percent"] = handles.Percent();
            state.counters["bare_timer_percent"] = bare.Percent();
        }
    };
    std::vector<std::vector<bench::Run>> runs = bench::RunRounds(o, kName, {{"turns", turns, 1}});
    bench::Rounds r =
        bench::RoundsOf(bench::ValuesOf(runs[0], bench::Counter("handles_percent")),
                        bench::ValuesOf(runs[0], bench::Counter("bare_timer_percent")));
    bench::PrintRatioResult(o, kName, r, "%", 2, kGoal, false);
    return 0;
}
