// What the simulator's tests share: a simulator per test and waiting for a
// counter that the simulator reaches in its own time.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "include/kernel_abi.h"
#include "tests/sim/devwire_client.h"
#include "tests/support/sim_process.h"

namespace simtest {

// Waits until the counter of node 0 reaches value, and fails if it went past.
inline ::testing::AssertionResult Reaches(vt::Simulator& sim, const std::string& key,
                                          uint64_t value) {
    ::testing::AssertionResult reached = sim.Await(0, key, value);
    if (!reached) return reached;
    uint64_t now = sim.Stats(0)[key];
    if (now != value)
        return ::testing::AssertionFailure() << key << "=" << now << ", not " << value;
    return reached;
}

inline uint32_t Cookie(const MidiFifo* f) {
    return Load(f->dwMagic);
}

}  // namespace simtest
