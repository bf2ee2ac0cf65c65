#include "bench/support/measure.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace bench {

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0) {
            o.smoke = true;
        } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc &&
                   std::atoi(argv[i + 1]) >= 1) {
            o.rounds = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--smoke] [--rounds N]\n", argv[0]);
            std::exit(2);
        }
    }
    if (o.smoke) o.rounds = 1;
    return o;
}

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double ProcessCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

Spread SpreadOf(std::vector<double> values, bool fHigherIsBetter) {
    Spread s;
    if (values.empty()) return s;
    s.best = fHigherIsBetter ? *std::max_element(values.begin(), values.end())
                             : *std::min_element(values.begin(), values.end());
    s.median = Median(std::move(values));
    return s;
}

Tail TailOf(std::vector<double> values) {
    Tail t;
    if (values.empty()) return t;
    std::sort(values.begin(), values.end());
    t.p99 = values[static_cast<size_t>(std::ceil(0.99 * double(values.size()))) - 1];
    t.max = values.back();
    return t;
}

Rounds RoundsOf(std::vector<double> figure, std::vector<double> baseline) {
    Rounds r;
    r.figure = std::move(figure);
    r.baseline = std::move(baseline);
    for (size_t i = 0; i < r.figure.size() && i < r.baseline.size(); ++i)
        r.ratio.push_back(r.figure[i] / r.baseline[i]);
    return r;
}

std::string Text(const Spread& s, const char* unit, int digits) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%.*f/%.*f%s", digits, s.best, digits, s.median, unit);
    return buf;
}

void PrintResult(const Options& o, const std::string& name, const std::string& figure,
                 const std::string& baseline, const std::string& ratio, const std::string& goal,
                 bool fMet) {
    std::printf("%s figure=%s baseline=%s ratio=%s goal=%s%s\n", name.c_str(), figure.c_str(),
                baseline.c_str(), ratio.c_str(), goal.c_str(),
                o.smoke ? "" : (fMet ? " met=yes" : " met=no"));
    std::fflush(stdout);
}

void PrintRatioResult(const Options& o, const std::string& name, const Rounds& r, const char* unit,
                      int digits, double goal, bool fHigherIsBetter) {
    char goalText[32];
    std::snprintf(goalText, sizeof goalText, "%s%.2gx", fHigherIsBetter ? ">=" : "<=", goal);
    double median = Median(r.ratio);
    PrintResult(o, name, Text(SpreadOf(r.figure, fHigherIsBetter), unit, digits),
                Text(SpreadOf(r.baseline, fHigherIsBetter), unit, digits),
                Text(SpreadOf(r.ratio, fHigherIsBetter), "x", 2), goalText,
                fHigherIsBetter ? median >= goal : median <= goal);
}

void Fail(const std::string& name, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), why.c_str());
    std::exit(1);
}

}  // namespace bench
