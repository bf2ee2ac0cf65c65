// What one short message costs the sender: modMessage(MODM_DATA) into a
// running output stream (the simulated interface draining it as fast as it
// can), against a lock and unlock of a mutex of the named mutex's kind called
// directly, round by round in the same run. Messages go in batches that fit
// the ring, one batch a Google Benchmark iteration timed by hand; between
// batches the benchmark waits, untimed, until the interface has taken them,
// so that no call meets a full ring.
#include "bench/support/direct_mutex.h"
#include "bench/support/gbench.h"
#include "bench/support/rig.h"
#include "midiout/midiout.h"
#include "tests/support/loaded_driver.h"

namespace {

constexpr const char* kName = "short_msg";
constexpr double kGoal = 2.5;
constexpr int kBatch = 512;  // fewer than the ring's slots

}  // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::ScratchRoot root;
    bench::SimChild sim(kName, {"--nodes", "0", "--rate", "fast", "--no-loopback"});
    vt::LoadedDriver driver;
    if (modMessage(0, MODM_GETNUMDEVS, 0, 0, 0) < 1) bench::Fail(kName, "no output port");
    DWORD_PTR dwUser = 0;
    MIDIOPENDESC desc = {};
    if (modMessage(0, MODM_OPEN, reinterpret_cast<DWORD_PTR>(&dwUser),
                   reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_NULL) != MMSYSERR_NOERROR)
        bench::Fail(kName, "cannot open output 0");
    bench::DirectMutex direct;

    const int batches = o.smoke ? 2 : 400;
    uint64_t sent = 0;
    auto driverBatches = [&](benchmark::State& state) {
        for (auto _ : state) {
            int64_t t0 = bench::NowNs();
            for (int i = 0; i < kBatch; ++i) {
                DWORD dwMsg = (i & 1) ? 0x00403C90 : 0x00003C90;
                if (modMessage(0, MODM_DATA, dwUser, dwMsg, 0) != MMSYSERR_NOERROR) {
                    state.SkipWithError("MODM_DATA was refused");
                    return;
                }
            }
            state.SetIterationTime(double(bench::NowNs() - t0) * 1e-9);
            sent += kBatch;
            sim.Ok("await 0 drained_out_a " + std::to_string(sent));
        }
        state.SetItemsProcessed(state.iterations() * kBatch);
    };
    auto directBatches = [&](benchmark::State& state) {
        for (auto _ : state) {
            int64_t t0 = bench::NowNs();
            for (int i = 0; i < kBatch; ++i) {
                if (!direct.Pair()) {
                    state.SkipWithError("a direct lock or unlock failed");
                    return;
                }
            }
            state.SetIterationTime(double(bench::NowNs() - t0) * 1e-9);
        }
        state.SetItemsProcessed(state.iterations() * kBatch);
    };
    const std::vector<bench::Benchmark> benchmarks = {{"driver", driverBatches, batches, true},
                                                      {"direct", directBatches, batches, true}};
    bench::RunRounds(bench::Options{o.smoke, 1}, kName, benchmarks);  // warms both up
    std::vector<std::vector<bench::Run>> runs = bench::RunRounds(o, kName, benchmarks);
    modMessage(0, MODM_CLOSE, dwUser, 0, 0);
    bench::Rounds r = bench::RoundsOf(runs[0], runs[1], [](const bench::Run& run) {
        return 1e9 / bench::CounterOf(run, "items_per_second");
    });
    bench::PrintRatioResult(o, kName, r, "ns", 1, kGoal, false);
    return 0;
}
