// What input costs while nothing arrives: 16 input handles open on one
// interface (8 on each input), started, their timers ticking on an empty
// ring. Reports the CPU time of one tick of all 16 timers, run by hand, and
// the CPU time the host's own timer thread spends per millisecond.
#include <benchmark/benchmark.h>

#include <time.h>

#include <memory>
#include <vector>

#include "driver/driver.h"
#include "host/os/host.h"
#include "midiin/midiin.h"
#include "tests/support/loaded_driver.h"
#include "tests/support/sim_process.h"

namespace {

constexpr int kClients = 16;

double ProcessCpuSeconds() {
    timespec ts = {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double WallSeconds() {
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// The simulator, the loaded driver and the open, started handles.
class IdleRig {
  public:
    explicit IdleRig(bool fManualClock) : sim_("--nodes 0") {
        VtHostSetManualClock(fManualClock);
        loaded_ = std::make_unique<vt::LoadedDriver>();
        if (midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0) != 2) return;
        for (int i = 0; i < kClients; ++i) {
            UINT uDeviceID = i & 1;
            MIDIOPENDESC desc = {};
            DWORD_PTR dwUser = 0;
            if (midMessage(uDeviceID, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&dwUser),
                           reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_NULL) != 0)
                return;
            clients_.push_back({uDeviceID, dwUser});
            midMessage(uDeviceID, MIDM_START, dwUser, 0, 0);
        }
    }
    ~IdleRig() {
        for (const Handle& h : clients_)
            midMessage(h.uDeviceID, MIDM_CLOSE, h.dwUser, 0, 0);
        loaded_.reset();
        VtHostSetManualClock(FALSE);
    }
    bool Ready() const { return clients_.size() == kClients; }

  private:
    struct Handle {
        UINT uDeviceID;
        DWORD_PTR dwUser;
    };
    vt::Simulator sim_;
    std::unique_ptr<vt::LoadedDriver> loaded_;
    std::vector<Handle> clients_;
};

// One tick of every timer on the calling thread: 16 drains of an empty ring.
void BM_IdleTickOf16Timers(benchmark::State& state) {
    IdleRig rig(TRUE);
    if (!rig.Ready()) {
        state.SkipWithError("could not open 16 input handles");
        return;
    }
    for (auto _ : state) {
        VtHostAdvanceTime(1);
        VtHostRunTimers();
    }
    state.counters["timers"] = kClients;
    state.counters["drains_per_s"] =
        benchmark::Counter(double(state.iterations()) * kClients, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IdleTickOf16Timers);

// The host's timer thread left to run for 250 ms per iteration while this
// thread sleeps; the process's CPU time over that span is, to the noise of
// the other idle host threads, the timer thread's. The iteration time
// reported is that CPU time per millisecond of wall time, i.e. per tick.
void BM_IdleTimerThreadCpuPerTick(benchmark::State& state) {
    IdleRig rig(FALSE);
    if (!rig.Ready()) {
        state.SkipWithError("could not open 16 input handles");
        return;
    }
    double cpuTotal = 0, wallTotal = 0;
    for (auto _ : state) {
        double cpu0 = ProcessCpuSeconds(), wall0 = WallSeconds();
        Sleep(250);
        double cpu = ProcessCpuSeconds() - cpu0, wall = WallSeconds() - wall0;
        cpuTotal += cpu;
        wallTotal += wall;
        state.SetIterationTime(cpu / (wall * 1000.0));
    }
    state.counters["cpu_us_per_tick"] = cpuTotal / (wallTotal * 1000.0) * 1e6;
    state.counters["cpu_share_pct"] = cpuTotal / wallTotal * 100.0;
}
BENCHMARK(BM_IdleTimerThreadCpuPerTick)
    ->UseManualTime()
    ->Iterations(8)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
