// Google Benchmark under the benchmarks: a program registers its figure and
// its baseline as benchmarks and runs them in rounds, back to back in every
// round, in its own process; a reporter collects each run instead of
// printing it, and the program prints its one result line (measure.h).
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

#include "bench/support/measure.h"

namespace bench {

using Run = benchmark::BenchmarkReporter::Run;

// One benchmark: its body (a State loop; with manualTime it reports each
// iteration's time itself, leaving out what is not measured), and the
// iterations of a round (0: as many as Google Benchmark wants).
struct Benchmark {
    std::string name;
    std::function<void(benchmark::State&)> body;
    benchmark::IterationCount iterations = 0;
    bool manualTime = false;
};

// Runs the benchmarks o.rounds times, one after the other in each round, and
// answers the run of each benchmark in every round. A run that reported an
// error (State::SkipWithError: the work itself went wrong) ends the program.
std::vector<std::vector<Run>> RunRounds(const Options& o, const std::string& program,
                                        const std::vector<Benchmark>& benchmarks);

// What a run measured: its real time per iteration in ns, or one of its
// counters (rates such as bytes_per_second are per second of measured time).
double NsPerIteration(const Run& r);
double CounterOf(const Run& r, const std::string& name);
// CounterOf(·, name), to hand to ValuesOf and RoundsOf.
std::function<double(const Run&)> Counter(const std::string& name);

// The values of a figure and its baseline in every round, and the rounds' ratios.
Rounds RoundsOf(const std::vector<Run>& figure, const std::vector<Run>& baseline,
                const std::function<double(const Run&)>& value);
std::vector<double> ValuesOf(const std::vector<Run>& runs,
                             const std::function<double(const Run&)>& value);

// A latency's p99 and maximum in ms, kept in a round as the counters
// NAME_p99_ms and NAME_max_ms, and read back from every round; TailsText
// prints them "p99:…ms,max:…ms" (best/median each).
void SetTail(benchmark::State& state, const std::string& name, const Tail& t);
struct Tails {
    std::vector<double> p99, max;
};
Tails TailsOf(const std::vector<Run>& runs, const std::string& name);
std::string TailsText(const Tails& t);

}  // namespace bench
