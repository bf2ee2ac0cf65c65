// vt::Simulator: `veltrane sim` as a child of the test process, under the
// test's object root, talked to through its control socket.
#include "tests/support/sim_process.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "sim/sim.h"

namespace vt {
namespace {

std::vector<std::string> SimArgv(const std::string& args) {
    std::vector<std::string> argv{VT_VELTRANE_EXE, "sim", "--exit-with-parent"};
    std::istringstream in(args);
    std::string w;
    while (in >> w)
        argv.push_back(w);
    return argv;
}

// How long a counted capture waits, and how much longer than a waiting
// command's own timeout its answer may take.
constexpr int kCaptureWaitMs = 10000;
constexpr int kAnswerMarginMs = 10000;

// One control connection a command: the object needs no state beyond the
// child, and a command never waits behind another client's.
bool Ask(const std::string& line, std::string* answer, std::string* error, int timeoutMs = 20000) {
    sim::ControlClient client;
    return client.Connect(TestRoot(), error) && client.Command(line, answer, error, timeoutMs);
}

std::vector<uint32_t> ParsePackets(const std::string& text) {
    std::istringstream in(text);
    std::vector<uint32_t> out;
    std::string w;
    while (in >> w)
        out.push_back(static_cast<uint32_t>(std::stoul(w, nullptr, 16)));
    return out;
}

}  // namespace

Simulator::Simulator(const std::string& args) : child_(SimArgv(args)) {
    std::string line = child_.ReadLine();
    if (line != "ready") throw std::runtime_error("veltrane sim answered '" + line + "'");
}

Simulator::~Simulator() {
    std::string answer, error;
    Ask("quit", &answer, &error, 5000);
    child_.Wait(5000);
}

std::string Simulator::Command(const std::string& line) {
    std::string answer, error;
    if (!Ask(line, &answer, &error)) return "error (control) " + error;
    return answer;
}

std::string Simulator::Ok(const std::string& line) {
    std::string answer = Command(line);
    EXPECT_EQ(answer.rfind("ok", 0), 0u) << line << " -> " << answer;
    if (answer.rfind("ok ", 0) == 0) return answer.substr(3);
    return "";
}

std::vector<uint32_t> Simulator::CapturePackets(unsigned node, char port) {
    return ParsePackets(Ok("capture " + std::to_string(node) + " " + port + " packets"));
}

std::string Simulator::CaptureCounted(unsigned node, char port, const char* kind, size_t cAtLeast) {
    std::string line = "capture " + std::to_string(node) + " " + port + " " + kind + " " +
                       std::to_string(cAtLeast) + " " + std::to_string(kCaptureWaitMs);
    std::string answer, error;
    if (!Ask(line, &answer, &error, kCaptureWaitMs + kAnswerMarginMs))
        answer = "error (control) " + error;
    if (answer.rfind("ok", 0) == 0) return answer.substr(2);
    ADD_FAILURE() << line << " -> " << answer;
    return Ok("capture " + std::to_string(node) + " " + port + " " + kind);
}

std::vector<uint32_t> Simulator::CapturePackets(unsigned node, char port, size_t cAtLeast) {
    return ParsePackets(CaptureCounted(node, port, "packets", cAtLeast));
}

std::vector<std::pair<int64_t, uint32_t>> Simulator::CaptureTimed(unsigned node, char port,
                                                                  size_t cAtLeast) {
    std::istringstream in(CaptureCounted(node, port, "timed", cAtLeast));
    std::vector<std::pair<int64_t, uint32_t>> out;
    std::string w;
    while (in >> w) {
        size_t colon = w.find(':');
        out.emplace_back(std::stoll(w.substr(0, colon)),
                         static_cast<uint32_t>(std::stoul(w.substr(colon + 1), nullptr, 16)));
    }
    return out;
}

std::vector<BYTE> Simulator::CaptureBytes(unsigned node, char port) {
    return Hex(Ok("capture " + std::to_string(node) + " " + port + " bytes"));
}

::testing::AssertionResult Simulator::Await(unsigned node, const std::string& key, uint64_t value,
                                            int timeoutMs) {
    return AwaitLine("await " + std::to_string(node) + " " + key + " " + std::to_string(value) +
                         " " + std::to_string(timeoutMs),
                     timeoutMs);
}

::testing::AssertionResult Simulator::AwaitAtMost(unsigned node, const std::string& key,
                                                  uint64_t value, int timeoutMs) {
    return AwaitLine("await " + std::to_string(node) + " " + key + " at-most " +
                         std::to_string(value) + " " + std::to_string(timeoutMs),
                     timeoutMs);
}

::testing::AssertionResult Simulator::AwaitLine(const std::string& line, int timeoutMs) {
    std::string answer, error;
    if (!Ask(line, &answer, &error, timeoutMs + kAnswerMarginMs))
        return ::testing::AssertionFailure() << line << " -> " << error;
    if (answer.rfind("ok ", 0) != 0)
        return ::testing::AssertionFailure() << line << " -> " << answer;
    return ::testing::AssertionSuccess();
}

std::map<std::string, uint64_t> Simulator::Stats(unsigned node) {
    std::istringstream in(Ok("stats " + std::to_string(node)));
    std::map<std::string, uint64_t> out;
    std::string w;
    while (in >> w) {
        size_t eq = w.find('=');
        if (eq == std::string::npos) continue;
        out[w.substr(0, eq)] = std::stoull(w.substr(eq + 1));
    }
    return out;
}

}  // namespace vt
