// The loop test's patterns and the checks of what came back.
#include "tools/loop_check.h"

#include <algorithm>
#include <cmath>

namespace tools {

uint32_t LoopMessage(uint32_t seq) {
    uint32_t ch = seq & 0x0F, note = (seq >> 4) & 0x7F, velocity = (seq >> 11) & 0x7F;
    return (0x90 | ch) | (note << 8) | (velocity << 16);
}

bool LoopSequence(uint32_t packed, uint32_t* seq) {
    if ((packed & 0xF0) != 0x90 || (packed & 0xFF808000u) != 0) return false;
    *seq = (packed & 0x0F) | (((packed >> 8) & 0x7F) << 4) | (((packed >> 16) & 0x7F) << 11);
    return true;
}

std::vector<uint8_t> LoopSysex(size_t size) {
    if (size < 4) size = 4;
    std::vector<uint8_t> v(size);
    v[0] = 0xF0;
    v[1] = 0x7D;  // the manufacturer ID set aside for non-commercial use
    for (size_t i = 2; i + 1 < size; ++i) {
        size_t group = (i - 2) / 3, part = (i - 2) % 3;
        v[i] = static_cast<uint8_t>((group >> (7 * part)) & 0x7F);
    }
    v[size - 1] = 0xF7;
    return v;
}

void LoopTally::AddMessage(uint32_t packed) {
    ++received_;
    uint32_t seq = 0;
    if (!LoopSequence(packed, &seq) || seq >= seen_.size()) {
        ++corrupted_;
        return;
    }
    if (seen_[seq]) {
        ++duplicated_;
        return;
    }
    seen_[seq] = true;
    if (static_cast<long long>(seq) < highest_) ++reordered_;
    highest_ = std::max<long long>(highest_, seq);
}

unsigned LoopTally::lost() const {
    return static_cast<unsigned>(std::count(seen_.begin(), seen_.end(), false));
}

SysexCheck CheckSysex(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& received) {
    SysexCheck c;
    size_t common = std::min(expected.size(), received.size());
    bool bad = false;
    for (size_t i = 0; i < common; ++i) {
        if (expected[i] != received[i]) {
            if (!bad) c.firstBad = i;
            bad = true;
            ++c.corrupted;
        }
    }
    if (received.size() < expected.size()) {
        c.lost = expected.size() - received.size();
    } else {
        c.corrupted += received.size() - expected.size();
    }
    if (!bad && received.size() != expected.size()) c.firstBad = common;
    return c;
}

LatencySummary Summarize(std::vector<double> samples) {
    LatencySummary s;
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    auto rank = [&](double p) {
        size_t k = static_cast<size_t>(std::ceil(p / 100.0 * samples.size()));
        return samples[k == 0 ? 0 : k - 1];
    };
    s.min = samples.front();
    s.median = rank(50);
    s.p99 = rank(99);
    s.max = samples.back();
    return s;
}

std::vector<LatencyBucket> Histogram(const std::vector<double>& samplesMs) {
    std::vector<LatencyBucket> buckets;
    if (samplesMs.empty()) return buckets;
    // The bucket of a sample; the small addition keeps 0.3 ms out of the
    // bucket below it.
    auto index = [](double ms) {
        return static_cast<size_t>(std::floor(std::max(ms, 0.0) / kLoopBucketMs + 1e-9));
    };
    auto [lowest, highest] = std::minmax_element(samplesMs.begin(), samplesMs.end());
    size_t first = index(*lowest);
    size_t n = std::min(index(*highest) - first + 1, kLoopMaxBuckets);
    buckets.resize(n);
    for (size_t i = 0; i < n; ++i)
        buckets[i].fromMs = double(first + i) * kLoopBucketMs;
    buckets.back().andAbove = index(*highest) - first + 1 > kLoopMaxBuckets;
    for (double ms : samplesMs)
        ++buckets[std::min(index(ms) - first, n - 1)].count;
    return buckets;
}

}  // namespace tools
