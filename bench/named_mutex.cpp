// What the cross-process lock costs through the host: WaitForSingleObject and
// ReleaseMutex on a named mutex, uncontended, against a mutex of the same
// kind locked and unlocked directly, round by round in the same run: each a
// Google Benchmark loop of one wait and release.
#include "bench/support/direct_mutex.h"
#include "bench/support/gbench.h"
#include "bench/support/rig.h"
#include "host/os/win32.h"

namespace {

constexpr const char* kName = "named_mutex";
constexpr double kGoal = 1.5;

}  // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::ScratchRoot root;
    HANDLE h = CreateMutexW(nullptr, FALSE, VT_TEXT("VELTRANECs"));
    if (!h) bench::Fail(kName, "CreateMutexW failed");
    bench::DirectMutex direct;
    const benchmark::IterationCount pairs = o.smoke ? 1000 : 1000000;
    const std::vector<bench::Benchmark> benchmarks = {
        {"host",
         [&](benchmark::State& state) {
             for (auto _ : state) {
                 if (WaitForSingleObject(h, INFINITE) != WAIT_OBJECT_0 || !ReleaseMutex(h)) {
                     state.SkipWithError("a wait or release through the host failed");
                     return;
                 }
             }
         },
         pairs},
        {"direct",
         [&](benchmark::State& state) {
             for (auto _ : state) {
                 if (!direct.Pair()) {
                     state.SkipWithError("a direct lock or unlock failed");
                     return;
                 }
             }
         },
         pairs}};
    bench::RunRounds(bench::Options{o.smoke, 1}, kName, benchmarks);  // warms both up
    std::vector<std::vector<bench::Run>> runs = bench::RunRounds(o, kName, benchmarks);
    CloseHandle(h);
    bench::PrintRatioResult(o, kName, bench::RoundsOf(runs[0], runs[1], bench::NsPerIteration),
                            "ns", 1, kGoal, false);
    return 0;
}
