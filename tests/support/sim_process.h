// A simulated kernel side for one test: `veltrane sim --exit-with-parent ...`
// serving the test process's object root, driven through its control socket.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <utility>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace vt {

class Simulator {
  public:
    // args as on the command line, e.g. "--nodes 2,5 --rate fast". Returns once
    // the control socket and the device nodes are served.
    explicit Simulator(const std::string& args = "--nodes 0");
    // Sends quit and waits for the process; kills it if it does not go.
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // One command line; answers the whole answer line ("ok ..." or "error ...").
    std::string Command(const std::string& line);
    // The same, adding a test failure unless the answer starts with "ok";
    // answers what follows "ok " (may be empty).
    std::string Ok(const std::string& line);

    // `capture N A|B packets` / `bytes`, parsed.
    std::vector<uint32_t> CapturePackets(unsigned node, char port);
    std::vector<BYTE> CaptureBytes(unsigned node, char port);
    // `capture N A|B packets COUNT`: waits until the output has drained at
    // least cAtLeast packets since the last capture and answers them all; when
    // they do not come, a test failure and what there is.
    std::vector<uint32_t> CapturePackets(unsigned node, char port, size_t cAtLeast);
    // `capture N A|B timed COUNT`, the same way: each packet with the
    // simulator's clock in microseconds when it left the ring.
    std::vector<std::pair<int64_t, uint32_t>> CaptureTimed(unsigned node, char port,
                                                           size_t cAtLeast);
    // `stats N`, parsed into key -> value.
    std::map<std::string, uint64_t> Stats(unsigned node);
    // `await N KEY VALUE TIMEOUT_MS`: waits until the counter is at least
    // value; a failure that quotes the simulator's answer when it timed out.
    ::testing::AssertionResult Await(unsigned node, const std::string& key, uint64_t value,
                                     int timeoutMs = 10000);
    // `await N KEY at-most VALUE TIMEOUT_MS`, the same way: for a gauge that falls.
    ::testing::AssertionResult AwaitAtMost(unsigned node, const std::string& key, uint64_t value,
                                           int timeoutMs = 10000);

    int pid() const { return child_.pid(); }

  private:
    // An await line, answered within its timeout: a failure quoting the
    // answer unless it is "ok".
    ::testing::AssertionResult AwaitLine(const std::string& line, int timeoutMs);
    // A counted capture of kind; its answer after "ok", or a test failure
    // and what there is.
    std::string CaptureCounted(unsigned node, char port, const char* kind, size_t cAtLeast);
    ChildProcess child_;
};

}  // namespace vt
