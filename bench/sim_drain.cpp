// How fast the simulated interface drains its outputs: at wire rate both
// ports should each move about 3125 bytes a second (31250 baud, 10 bits a
// byte); at fast rate with loopback, how many packets a second go round from
// an output ring to an input ring. Measures and prints; asserts nothing.
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "sim/midi_wire.h"
#include "sim/sim.h"
#include "tests/sim/devwire_client.h"
#include "tests/support/support.h"

namespace {

using Clock = std::chrono::steady_clock;

// The server in this process, with node 0 and two output blocks streaming.
struct Rig {
    sim::Server server;
    simtest::BlockMemory mem{4 * kFifoBlockBytes};
    simtest::DeviceConnection conn;
    MidiFifo* out[2] = {};
    MidiFifo* in = nullptr;
    sim::ControlClient control;

    bool Start(sim::Rate rate, bool loopback, std::string* error) {
        sim::Options o;
        o.rate = rate;
        o.loopback = loopback;
        o.root = vt::TestRoot();
        if (!server.Start(o, error) || !control.Connect(o.root, error)) return false;
        if (!conn.Open(o.root, 0)) {
            *error = "cannot open node 0";
            return false;
        }
        const uint32_t pipes[2] = {kPipeOutA, kPipeOutB};
        for (int p = 0; p < 2; ++p) {
            out[p] = mem.Init(p * kFifoBlockBytes);
            if (conn.Start(pipes[p], mem, p * kFifoBlockBytes).reply.fPending != 1) {
                *error = "output start did not pend";
                return false;
            }
        }
        in = mem.Init(2 * kFifoBlockBytes);
        if (conn.Start(kPipeIn, mem, 2 * kFifoBlockBytes).reply.fPending != 1) {
            *error = "input start did not pend";
            return false;
        }
        return true;
    }

    uint64_t Stat(const std::string& key) {
        std::string answer, error;
        if (!control.Command("stats 0", &answer, &error)) return 0;
        size_t at = answer.find(" " + key + "=");
        return at == std::string::npos ? 0 : std::stoull(answer.substr(at + key.size() + 2));
    }
};

// Keeps both output rings topped up with three-byte messages for a while and
// counts what the interface took.
void BM_WireRateDrain(benchmark::State& state) {
    Rig rig;
    std::string error;
    if (!rig.Start(sim::Rate::Wire, false, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const auto period = std::chrono::milliseconds(state.range(0));
    double seconds = 0;
    uint64_t packets[2] = {0, 0};
    for (auto _ : state) {
        for (MidiFifo* f : rig.out)
            while (simtest::Produce(f, 0x03403C90)) {
            }
        uint64_t before[2] = {rig.Stat("drained_out_a"), rig.Stat("drained_out_b")};
        auto t0 = Clock::now();
        auto end = t0 + period;
        while (Clock::now() < end) {
            for (MidiFifo* f : rig.out)
                while (simtest::Produce(f, 0x03403C90)) {
                }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        uint64_t after[2] = {rig.Stat("drained_out_a"), rig.Stat("drained_out_b")};
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        packets[0] += after[0] - before[0];
        packets[1] += after[1] - before[1];
    }
    state.counters["out_a_bytes_per_s"] = packets[0] * 3 / seconds;
    state.counters["out_b_bytes_per_s"] = packets[1] * 3 / seconds;
    state.counters["expected_bytes_per_s"] = 1e6 / midi::kByteTimeUs;
}
BENCHMARK(BM_WireRateDrain)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Output A looped back to input A at fast rate, the input drained by this
// thread as it goes: packets a second all the way round.
void BM_FastLoopbackRoundTrip(benchmark::State& state) {
    Rig rig;
    std::string error;
    if (!rig.Start(sim::Rate::Fast, true, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const uint64_t total = static_cast<uint64_t>(state.range(0));
    uint64_t moved = 0;
    double seconds = 0;
    for (auto _ : state) {
        uint64_t written = 0, got = 0;
        auto t0 = Clock::now();
        auto giveUp = t0 + std::chrono::seconds(30);
        while (got < total && Clock::now() < giveUp) {
            while (written < total && simtest::Produce(rig.out[0], 0x03403C90))
                ++written;
            uint32_t pk;
            bool any = false;
            while (simtest::Consume(rig.in, &pk)) {
                ++got;
                any = true;
            }
            if (!any) std::this_thread::yield();
        }
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        moved += got;
        if (got < total) state.SkipWithError("packets were lost on the way round");
    }
    state.counters["packets_per_s"] = moved / seconds;
    state.counters["dropped_in"] = static_cast<double>(rig.Stat("dropped_in"));
}
BENCHMARK(BM_FastLoopbackRoundTrip)
    ->Arg(200000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
