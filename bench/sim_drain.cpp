// How closely the simulated interface keeps the MIDI wire rate: both output
// rings of node 0 kept topped up with three-byte messages for a second, the
// bytes the interface took counted. The baseline is what a cable carries in
// the same measured time (31250 baud, ten bits a byte); the ratio should be
// one, neither faster nor slower.
#include <chrono>
#include <thread>

#include "bench/support/gbench.h"
#include "bench/support/rig.h"
#include "sim/midi_wire.h"
#include "tests/sim/devwire_client.h"

namespace {

constexpr const char* kName = "sim_drain";
constexpr uint32_t kNoteOn = 0x03403C90;  // three bytes, port 0

struct Rig {
    sim::Server server;
    simtest::BlockMemory mem{2 * kFifoBlockBytes};
    simtest::DeviceConnection conn;
    MidiFifo* out[2] = {};
    sim::ControlClient control;

    void Start(const std::string& root) {
        sim::Options o;
        o.rate = sim::Rate::Wire;
        o.loopback = false;
        o.root = root;
        std::string error;
        if (!server.Start(o, &error) || !control.Connect(root, &error)) bench::Fail(kName, error);
        if (!conn.Open(root, 0)) bench::Fail(kName, "cannot open node 0");
        const uint32_t pipes[2] = {kPipeOutA, kPipeOutB};
        for (int p = 0; p < 2; ++p) {
            out[p] = mem.Init(p * kFifoBlockBytes);
            if (conn.Start(pipes[p], mem, p * kFifoBlockBytes).reply.fPending != 1)
                bench::Fail(kName, "an output start did not pend");
        }
    }

    void TopUp() {
        for (MidiFifo* f : out)
            while (simtest::Produce(f, kNoteOn)) {
            }
    }

    uint64_t Drained() {
        std::string answer, error;
        if (!control.Command("stats 0", &answer, &error)) bench::Fail(kName, error);
        uint64_t sum = 0;
        for (const char* key : {" drained_out_a=", " drained_out_b="}) {
            size_t at = answer.find(key);
            if (at == std::string::npos) bench::Fail(kName, "no counter in '" + answer + "'");
            sum += std::stoull(answer.substr(at + std::strlen(key)));
        }
        return sum;
    }
};

}  // namespace

int main(int argc, char** argv) {
    bench::Options o = bench::ParseOptions(argc, argv);
    bench::ScratchRoot root;
    Rig rig;
    rig.Start(root.path());
    const int64_t spanNs = o.smoke ? 200000000 : 1000000000;

    rig.TopUp();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // both cables busy
    auto wireRate = [&](benchmark::State& state) {
        for (auto _ : state) {
            rig.TopUp();
            uint64_t before = rig.Drained();
            int64_t t0 = bench::NowNs();
            while (bench::NowNs() - t0 < spanNs) {
                rig.TopUp();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            uint64_t packets = rig.Drained() - before;
            double seconds = double(bench::NowNs() - t0) * 1e-9;
            state.counters["bytes_per_s"] = double(packets) * 3 / 2 / seconds;  // per port
        }
    };
    std::vector<std::vector<bench::Run>> runs =
        bench::RunRounds(o, kName, {{"wire_rate", wireRate, 1}});
    std::vector<double> fig = bench::ValuesOf(runs[0], bench::Counter("bytes_per_s"));
    std::vector<double> base(fig.size(), 1e6 / double(midi::kByteTimeUs)), ratio;
    for (double f : fig)
        ratio.push_back(f / base.front());
    double median = bench::Median(ratio);
    bench::PrintResult(o, kName, bench::Text(bench::SpreadOf(fig, true), "B/s", 0),
                       bench::Text(bench::SpreadOf(base), "B/s", 0),
                       bench::Text(bench::SpreadOf(ratio, true), "x", 3), "0.99x..1.01x",
                       median >= 0.99 && median <= 1.01);
    return 0;
}
