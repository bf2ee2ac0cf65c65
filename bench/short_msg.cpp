// What one short message costs the sender: modMessage(MODM_DATA) into a
// running output stream (the simulated interface draining it as fast as it
// can), against a lock and unlock of a mutex of the named mutex's kind called
// directly, round by round in the same run. Messages go in batches that fit
// the ring; between batches the benchmark waits, untimed, until the
// interface has taken them, so that no call meets a full ring.
#include "bench/support/direct_mutex.h"
#include "bench/support/measure.h"
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
    auto driverRound = [&] {
        int64_t spent = 0;
        for (int b = 0; b < batches; ++b) {
            int64_t t0 = bench::NowNs();
            for (int i = 0; i < kBatch; ++i) {
                DWORD dwMsg = (i & 1) ? 0x00403C90 : 0x00003C90;
                if (modMessage(0, MODM_DATA, dwUser, dwMsg, 0) != MMSYSERR_NOERROR)
                    bench::Fail(kName, "MODM_DATA was refused");
            }
            spent += bench::NowNs() - t0;
            sent += kBatch;
            sim.Ok("await 0 drained_out_a " + std::to_string(sent));
        }
        return double(spent) / (double(batches) * kBatch);
    };
    auto directRound = [&] {
        int64_t spent = 0;
        for (int b = 0; b < batches; ++b) {
            int64_t t0 = bench::NowNs();
            for (int i = 0; i < kBatch; ++i) {
                if (!direct.Pair()) bench::Fail(kName, "a direct lock or unlock failed");
            }
            spent += bench::NowNs() - t0;
        }
        return double(spent) / (double(batches) * kBatch);
    };

    driverRound();  // warm up both
    directRound();
    bench::Rounds r = bench::MeasureRounds(o, driverRound, directRound);
    modMessage(0, MODM_CLOSE, dwUser, 0, 0);
    bench::PrintRatioResult(o, kName, r, "ns", 1, kGoal, false);
    return 0;
}
