// What the cross-process lock costs through the host: WaitForSingleObject and
// ReleaseMutex on a named mutex, uncontended, against a mutex of the same
// kind locked and unlocked directly, round by round in the same run.
#include "bench/support/direct_mutex.h"
#include "bench/support/measure.h"
#include "bench/support/rig.h"
#include "host/os/win32.h"

namespace {

constexpr const char* kName = "named_mutex";
constexpr double kGoal = 1.5;

double HostPairNs(HANDLE h, int pairs) {
    int64_t t0 = bench::NowNs();
    for (int i = 0; i < pairs; ++i) {
        if (WaitForSingleObject(h, INFINITE) != WAIT_OBJECT_0 || !ReleaseMutex(h))
            bench::Fail(kName, "a wait or release through the host failed");
    }
    return double(bench::NowNs() - t0) / pairs;
}

double DirectPairNs(bench::DirectMutex& m, int pairs) {
    int64_t t0 = bench::NowNs();
    for (int i = 0; i < pairs; ++i) {
        if (!m.Pair()) bench::Fail(kName, "a direct lock or unlock failed");
    }
    return double(bench::NowNs() - t0) / pairs;
}

}  // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::ScratchRoot root;
    HANDLE h = CreateMutexW(nullptr, FALSE, VT_TEXT("VELTRANECs"));
    if (!h) bench::Fail(kName, "CreateMutexW failed");
    bench::DirectMutex direct;
    const int pairs = o.smoke ? 1000 : 1000000;
    HostPairNs(h, pairs / 10);  // warm up both
    DirectPairNs(direct, pairs / 10);

    bench::Rounds r = bench::MeasureRounds(
        o, [&] { return HostPairNs(h, pairs); }, [&] { return DirectPairNs(direct, pairs); });
    CloseHandle(h);
    bench::PrintRatioResult(o, kName, r, "ns", 1, kGoal, false);
    return 0;
}
