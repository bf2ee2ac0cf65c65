// What the client tests share: running one body on several threads at once,
// and the result codes of many calls tallied by value.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

#include "host/mm/vtmm.h"

namespace clients {

// Runs body(0) .. body(n - 1), each on a thread of its own, all at once.
inline void OnThreads(int n, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back(body, i);
    for (std::thread& t : threads)
        t.join();
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
