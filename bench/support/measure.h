// What every benchmark shares: its options, clocks, the spread of a figure
// over rounds, and the one result line that scripts/bench turns into a table:
//
//   NAME figure=… baseline=… ratio=… goal=… met=yes|no
//
// A figure and its baseline are measured in the same run, round by round, so
// that load from elsewhere on the machine hits both alike; the ratio is the
// median of the rounds' own ratios. Spreads print as best/median.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Options {
    bool smoke = false;  // one short round: the program builds and works, nothing measured
    int rounds = 5;
};
// --smoke, --rounds N. Exits with a usage message on anything else.
Options ParseOptions(int argc, char** argv);

// CLOCK_MONOTONIC in nanoseconds, and this process's CPU time in seconds.
int64_t NowNs();
double ProcessCpuSeconds();

// The best and the median of a figure's rounds; "best" is the lowest unless
// fHigherIsBetter.
struct Spread {
    double best = 0;
    double median = 0;
};
Spread SpreadOf(std::vector<double> values, bool fHigherIsBetter = false);
double Median(std::vector<double> values);

// The 99th percentile (the value at or below which 99 % of the values lie)
// and the maximum of a set of values.
struct Tail {
    double p99 = 0;
    double max = 0;
};
Tail TailOf(std::vector<double> values);

// A figure and its baseline measured back to back in each round
// (gbench.h), and each round's ratio of the two.
struct Rounds {
    std::vector<double> figure, baseline, ratio;
};
// The rounds of a figure and its baseline, index by index, with their ratios.
Rounds RoundsOf(std::vector<double> figure, std::vector<double> baseline);

// "12.3/12.9unit": the spread with a precision of digits after the point.
std::string Text(const Spread& s, const char* unit, int digits = 1);

// Prints the result line. In a smoke run met is left out: nothing was measured.
void PrintResult(const Options& o, const std::string& name, const std::string& figure,
                 const std::string& baseline, const std::string& ratio, const std::string& goal,
                 bool fMet);
// The same for rounds whose goal is a bound on the median ratio: at most
// goal (fHigherIsBetter false) or at least goal.
void PrintRatioResult(const Options& o, const std::string& name, const Rounds& r, const char* unit,
                      int digits, double goal, bool fHigherIsBetter);

// Ends the program with status 1 after printing why (a check of the work
// itself failed: the figures would mean nothing).
[[noreturn]] void Fail(const std::string& name, const std::string& why);

}  // namespace bench
