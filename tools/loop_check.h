// The loop test's pattern and the checks of what came back (loop_check.cpp).
// Plain arithmetic, no winmm: tested directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tools {

// The loop pattern: message seq is a note-on whose channel, note and velocity
// carry the 18 bits of seq, so kLoopMaxCount messages are all distinct.
constexpr unsigned kLoopMaxCount = 1u << 18;
// The largest sysex `loop --sysex` sends: 16 MiB, about 90 minutes at wire
// rate; the check keeps every byte and a queue of buffers for all of it.
constexpr size_t kLoopMaxSysex = 16u << 20;
uint32_t LoopMessage(uint32_t seq);
// The seq a received message carries; false when no loop message looks so.
bool LoopSequence(uint32_t packed, uint32_t* seq);
// One system-exclusive message of size bytes (at least 4): F0 7D, then groups
// of three bytes holding their own index (21 bits), cut off before the F7.
std::vector<uint8_t> LoopSysex(size_t size);

// What the receiving side of the loop saw, message by message.
class LoopTally {
  public:
    explicit LoopTally(unsigned count) : seen_(count, false) {}
    void AddMessage(uint32_t packed);  // a MIM_DATA
    void AddError() { ++corrupted_; }  // a MIM_ERROR or anything unexpected
    unsigned received() const { return received_; }
    unsigned corrupted() const { return corrupted_; }
    unsigned reordered() const { return reordered_; }
    unsigned duplicated() const { return duplicated_; }
    unsigned lost() const;

  private:
    std::vector<bool> seen_;
    unsigned received_ = 0, corrupted_ = 0, reordered_ = 0, duplicated_ = 0;
    long long highest_ = -1;
};

// Bytes of received that differ from expected at the same offset, plus the
// bytes missing from its end or beyond it.
struct SysexCheck {
    size_t lost = 0;       // expected bytes that did not arrive
    size_t corrupted = 0;  // bytes that arrived wrong (or extra)
    size_t firstBad = 0;   // offset of the first difference (valid when any)
};
SysexCheck CheckSysex(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& received);

// Latencies counted by buckets of kLoopBucketMs, from the bucket of the
// smallest to that of the largest, empty ones between included: at most
// kLoopMaxBuckets, the last of which then holds everything from its start up.
constexpr double kLoopBucketMs = 0.1;
constexpr size_t kLoopMaxBuckets = 100;
struct LatencyBucket {
    double fromMs = 0;
    unsigned count = 0;
    bool andAbove = false;  // the last bucket, cut short: everything from fromMs up
};
std::vector<LatencyBucket> Histogram(const std::vector<double>& samplesMs);

struct LatencySummary {
    double min = 0, median = 0, p99 = 0, max = 0;
};
// Nearest-rank percentiles of the samples (in any unit); zeros when empty.
LatencySummary Summarize(std::vector<double> samples);

}  // namespace tools
