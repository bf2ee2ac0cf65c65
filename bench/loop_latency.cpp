// Loopback latency through the multimedia layer: short messages out of Out-A
// of a simulated interface at wire rate, looped back to In-A, paced (an
// interval plus a random phase of up to one timer period, so that the sends
// fall anywhere between the timers' ticks and the cable is idle each time).
// A message's latency runs from just before midiOutShortMsg to its MIM_DATA
// callback. The floor is the message's time on the cable; the figures are
// each round's p99 and maximum, and how far they lie above that floor. A
// round is one iteration of a Google Benchmark benchmark whose figures are
// counters.
#include <time.h>

#include <atomic>
#include <memory>
#include <random>

#include <windows.h>
#include <mmsystem.h>

#include "bench/support/gbench.h"
#include "bench/support/rig.h"
#include "host/mm/vtmm.h"
#include "sim/midi_wire.h"

namespace {

constexpr const char* kName = "loop_latency";
constexpr double kGoalP99AboveWireMs = 1.2;
constexpr double kGoalMaxAboveWireMs = 4.0;
constexpr int64_t kIntervalNs = 4000000;      // between sends, plus the phase
constexpr int64_t kPhaseNs = 1000000;         // one timer period
constexpr unsigned kMessageBytes = 3;         // every message carries its status
constexpr int kMaxMessages = 1 << 14;         // what the two data bytes can number
constexpr int64_t kLostAfterNs = 2000000000;  // no arrival by then: lost

// Message i alternates Note On and Note Off (so neither side leaves its
// status out) and numbers itself in its two data bytes.
DWORD MessageOf(int i) {
    DWORD status = (i & 1) ? 0x80 : 0x90;
    return status | (static_cast<DWORD>(i & 0x7F) << 8) | (static_cast<DWORD>(i >> 7) << 16);
}

std::unique_ptr<std::atomic<int64_t>[]> gArrived;  // by message number, 0 not yet
std::atomic<int> gCountArrived{0};
std::atomic<int> gStrays{0};

void CALLBACK OnInput(HMIDIIN, UINT uMsg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR) {
    if (uMsg != MIM_DATA) return;
    int64_t now = bench::NowNs();
    DWORD dw = static_cast<DWORD>(dwParam1);
    int i = static_cast<int>(((dw >> 8) & 0x7F) | (((dw >> 16) & 0x7F) << 7));
    if (MessageOf(i) != dw) {
        ++gStrays;
        return;
    }
    int64_t expected = 0;
    if (gArrived[i].compare_exchange_strong(expected, now)) ++gCountArrived;
}

bench::Tail Round(HMIDIOUT out, int count, std::mt19937& rng) {
    for (int i = 0; i < count; ++i)
        gArrived[i] = 0;
    gCountArrived = 0;
    std::vector<int64_t> sentAt(count);
    std::uniform_int_distribution<int64_t> phase(0, kPhaseNs - 1);
    int64_t next = bench::NowNs();
    for (int i = 0; i < count; ++i) {
        next += kIntervalNs + phase(rng);
        timespec ts{static_cast<time_t>(next / 1000000000), static_cast<long>(next % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
        }
        sentAt[i] = bench::NowNs();
        if (midiOutShortMsg(out, MessageOf(i)) != MMSYSERR_NOERROR)
            bench::Fail(kName, "midiOutShortMsg failed");
    }
    int64_t giveUp = bench::NowNs() + kLostAfterNs;
    while (gCountArrived < count && bench::NowNs() < giveUp) {
        timespec ts{0, 1000000};
        nanosleep(&ts, nullptr);
    }
    if (gCountArrived < count)
        bench::Fail(kName, std::to_string(count - gCountArrived) + " of " + std::to_string(count) +
                               " messages did not come back");
    if (gStrays != 0) bench::Fail(kName, "messages came back changed");
    std::vector<double> ms(count);
    for (int i = 0; i < count; ++i)
        ms[i] = double(gArrived[i] - sentAt[i]) * 1e-6;
    return bench::TailOf(std::move(ms));
}

}  // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::ScratchRoot root;
    bench::SimChild sim(kName, {"--nodes", "0"});
    const int count = o.smoke ? 20 : 500;
    gArrived.reset(new std::atomic<int64_t>[kMaxMessages]);

    HMIDIOUT out = nullptr;
    HMIDIIN in = nullptr;
    if (midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR ||
        midiInOpen(&in, 0, reinterpret_cast<DWORD_PTR>(&OnInput), 0, CALLBACK_FUNCTION) !=
            MMSYSERR_NOERROR)
        bench::Fail(kName, "cannot open Out-A and In-A: " + std::string(VtMmDriverError()));
    midiInStart(in);

    const double wireMs = double(kMessageBytes * midi::kByteTimeUs) * 1e-3;
    std::mt19937 rng(7);
    auto loopback = [&](benchmark::State& state) {
        for (auto _ : state) {
            bench::SetTail(state, "loopback", Round(out, count, rng));
        }
    };
    std::vector<std::vector<bench::Run>> runs =
        bench::RunRounds(o, kName, {{"loopback", loopback, 1}});
    bench::Tails t = bench::TailsOf(runs[0], "loopback");
    const std::vector<double>&p99 = t.p99, &max = t.max;
    std::vector<double> p99Above, maxAbove;
    for (size_t i = 0; i < p99.size(); ++i) {
        p99Above.push_back(p99[i] - wireMs);
        maxAbove.push_back(max[i] - wireMs);
    }
    midiInStop(in);
    midiInClose(in);
    midiOutClose(out);

    char wire[32];
    std::snprintf(wire, sizeof wire, "wire:%.2fms", wireMs);
    bool fMet = bench::Median(p99Above) <= kGoalP99AboveWireMs &&
                bench::Median(maxAbove) <= kGoalMaxAboveWireMs;
    bench::PrintResult(o, kName, bench::TailsText(t), wire,
                       "p99-wire:" + bench::Text(bench::SpreadOf(p99Above), "ms", 2) +
                           ",max-wire:" + bench::Text(bench::SpreadOf(maxAbove), "ms", 2),
                       "p99-wire<=1.2ms,max-wire<=4ms", fMet);
    return 0;
}
