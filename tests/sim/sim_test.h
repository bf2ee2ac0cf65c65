// What the simulator's tests share: a simulator per test and waiting for a
// state that another process reaches in its own time.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "include/kernel_abi.h"
#include "tests/sim/devwire_client.h"
#include "tests/support/sim_process.h"

namespace simtest {

// Polls until done() holds; false after timeoutMs. A generous bound that only
// a broken simulator reaches: never a measure of speed.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000) {
    for (int waited = 0; waited < timeoutMs; ++waited) {
        if (done()) return true;
        usleep(1000);
    }
    return done();
}

inline uint32_t Cookie(const MidiFifo* f) {
    return Load(f->dwMagic);
}

}  // namespace simtest
