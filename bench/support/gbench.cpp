#include "bench/support/gbench.h"

#include <map>

namespace bench {
namespace {

// Keeps every run by benchmark name; prints nothing.
class Collector : public benchmark::BenchmarkReporter {
  public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration) runs_[r.run_name.function_name].push_back(r);
    }
    std::map<std::string, std::vector<Run>> runs_;
};

}  // namespace

std::vector<std::vector<Run>> RunRounds(const Options& o, const std::string& program,
                                        const std::vector<Benchmark>& benchmarks) {
    static bool fInitialized = false;
    if (!fInitialized) {
        int argc = 1;
        char name[] = "bench";
        char* argv[] = {name, nullptr};
        benchmark::Initialize(&argc, argv);
        fInitialized = true;
    }
    for (const Benchmark& b : benchmarks) {
        benchmark::internal::Benchmark* pReg =
            benchmark::RegisterBenchmark(b.name.c_str(), b.body)->Repetitions(1);
        if (b.iterations > 0) pReg->Iterations(b.iterations);
        if (b.manualTime) pReg->UseManualTime();
        pReg->Unit(benchmark::kNanosecond);
    }
    Collector collector;
    for (int i = 0; i < o.rounds; ++i)
        benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::ClearRegisteredBenchmarks();

    std::vector<std::vector<Run>> all;
    for (const Benchmark& b : benchmarks) {
        std::vector<Run>& runs = collector.runs_[b.name];
        for (const Run& r : runs)
            if (r.error_occurred) Fail(program, b.name + ": " + r.error_message);
        if (runs.size() != static_cast<size_t>(o.rounds)) Fail(program, b.name + " did not run");
        all.push_back(runs);
    }
    return all;
}

double NsPerIteration(const Run& r) {
    return r.GetAdjustedRealTime();  // the unit is ns (RunRounds)
}

double CounterOf(const Run& r, const std::string& name) {
    auto it = r.counters.find(name);
    return it == r.counters.end() ? 0 : static_cast<double>(it->second);
}

std::function<double(const Run&)> Counter(const std::string& name) {
    return [name](const Run& r) { return CounterOf(r, name); };
}

std::vector<double> ValuesOf(const std::vector<Run>& runs,
                             const std::function<double(const Run&)>& value) {
    std::vector<double> values;
    for (const Run& r : runs)
        values.push_back(value(r));
    return values;
}

Rounds RoundsOf(const std::vector<Run>& figure, const std::vector<Run>& baseline,
                const std::function<double(const Run&)>& value) {
    return RoundsOf(ValuesOf(figure, value), ValuesOf(baseline, value));
}

void SetTail(benchmark::State& state, const std::string& name, const Tail& t) {
    state.counters[name + "_p99_ms"] = t.p99;
    state.counters[name + "_max_ms"] = t.max;
}

Tails TailsOf(const std::vector<Run>& runs, const std::string& name) {
    return {ValuesOf(runs, Counter(name + "_p99_ms")), ValuesOf(runs, Counter(name + "_max_ms"))};
}

std::string TailsText(const Tails& t) {
    return "p99:" + Text(SpreadOf(t.p99), "ms", 2) + ",max:" + Text(SpreadOf(t.max), "ms", 2);
}

}  // namespace bench
