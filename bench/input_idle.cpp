// What open input costs while nothing arrives: 16 input handles open through
// the multimedia layer (8 on each input of one interface), started, for a
// second of wall time; the process's CPU time over that second, as a share of
// one core. The baseline, in the same round: one bare 1 ms periodic timer
// with an empty callback, in the same process, for the same time. Each is a
// Google Benchmark benchmark of one iteration a round, its figure a counter
// (the CPU time is not the benchmark's own timing). The simulator runs in a
// child process and is not counted.
#include <time.h>

#include "bench/support/gbench.h"
#include "bench/support/rig.h"
#include "host/mm/mmsystem.h"

namespace {

constexpr const char* kName = "input_idle";
constexpr double kGoal = 1.1;
constexpr int kHandles = 16;

void SleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

// Percent of one core this process spends while the calling thread sleeps.
double CpuShareOver(int ms) {
    double cpu0 = bench::ProcessCpuSeconds();
    int64_t wall0 = bench::NowNs();
    SleepMs(ms);
    double cpu = bench::ProcessCpuSeconds() - cpu0;
    double wall = double(bench::NowNs() - wall0) * 1e-9;
    return cpu / wall * 100.0;
}

double HandlesRound(int ms) {
    HMIDIIN handles[kHandles];
    for (int i = 0; i < kHandles; ++i) {
        if (midiInOpen(&handles[i], i & 1, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
            bench::Fail(kName, "cannot open input " + std::to_string(i & 1));
        midiInStart(handles[i]);
    }
    SleepMs(50);  // settled
    double share = CpuShareOver(ms);
    for (HMIDIIN h : handles)
        midiInClose(h);
    return share;
}

void CALLBACK Nothing(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

double BareTimerRound(int ms) {
    timeBeginPeriod(1);
    UINT id = timeSetEvent(1, 1, Nothing, 0, TIME_PERIODIC);
    if (id == 0) bench::Fail(kName, "timeSetEvent failed");
    SleepMs(50);
    double share = CpuShareOver(ms);
    timeKillEvent(id);
    timeEndPeriod(1);
    return share;
}

}  // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::ScratchRoot root;
    bench::SimChild sim(kName, {"--nodes", "0"});
    if (midiInGetNumDevs() < 2) bench::Fail(kName, "no inputs: " + std::string(VtMmDriverError()));
    const int ms = o.smoke ? 100 : 1000;

    auto share = [&](auto round) {
        return [&, round](benchmark::State& state) {
            for (auto _ : state)
                state.counters["cpu_percent"] = round(ms);
        };
    };
    std::vector<std::vector<bench::Run>> runs = bench::RunRounds(
        o, kName, {{"handles", share(HandlesRound), 1}, {"bare_timer", share(BareTimerRound), 1}});
    bench::Rounds r = bench::RoundsOf(runs[0], runs[1], [](const bench::Run& run) {
        return bench::CounterOf(run, "cpu_percent");
    });
    bench::PrintRatioResult(o, kName, r, "%", 2, kGoal, false);
    return 0;
}
