// What the client tests share: running one body on several threads at once,
// waiting for a condition another thread brings about, and the result codes
// of many calls tallied by value.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/mm/mmsystem.h"

namespace clients {

// Runs body(0) .. body(n - 1), each on a thread of its own, all at once.
inline void OnThreads(int n, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back(body, i);
    for (std::thread& t : threads)
        t.join();
}

// Polls until done() holds; false after the bound, which only a fault reaches.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// How often each call answered each result, from any number of threads:
// "midiOutOpen 1" -> 300.
class Tally {
  public:
    MMRESULT Add(const char* call, MMRESULT r) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counts_[std::string(call) + " " + std::to_string(r)];
        return r;
    }
    // Every call answered MMSYSERR_NOERROR.
    std::map<std::string, int> Failures() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::map<std::string, int> out;
        for (const auto& [key, n] : counts_)
            if (key.compare(key.size() - 2, 2, " 0") != 0) out[key] = n;
        return out;
    }

  private:
    std::mutex mutex_;
    std::map<std::string, int> counts_;
};

}  // namespace clients
