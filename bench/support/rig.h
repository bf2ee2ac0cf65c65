// What a benchmark runs in: a fresh object root of its own, and a simulated
// kernel side in a child process (so that its CPU time is not the
// benchmark's).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "sim/sim.h"

namespace bench {

// A fresh $VELTRANE_ROOT for this process, removed at exit. Made first thing
// in main, before anything asks the host for the root.
class ScratchRoot {
  public:
    ScratchRoot();
    ~ScratchRoot();
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// `veltrane sim ARGS --exit-with-parent` forked from this process and served
// on its root; ended (and reaped) by the destructor. Fork it before the
// process starts any thread.
class SimChild {
  public:
    SimChild(const std::string& name, const std::vector<std::string>& args);
    ~SimChild();
    SimChild(const SimChild&) = delete;
    SimChild& operator=(const SimChild&) = delete;
    // One control command; the benchmark fails unless the answer is "ok ...".
    std::string Ok(const std::string& line, int timeoutMs = 20000);

  private:
    std::string name_;
    pid_t pid_ = -1;
    sim::ControlClient control_;
};

// `veltrane ARGS`, the command built with the benchmarks, as a child process
// whose standard output the benchmark reads (its standard error goes to the
// benchmark's). The destructor kills it if it still runs.
class CommandChild {
  public:
    CommandChild(const std::string& name, const std::vector<std::string>& args);
    ~CommandChild();
    CommandChild(const CommandChild&) = delete;
    CommandChild& operator=(const CommandChild&) = delete;
    // The next line of its output without the newline; "" at its end or after
    // timeoutMs.
    std::string ReadLine(int timeoutMs);
    // Waits for it to end and answers its exit status (-1: killed by a signal).
    int Wait();

  private:
    std::string name_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::string got_;
};

}  // namespace bench
