// A bound on how long a stretch of a test may take. When it has not ended
// within its limit the process says what hung and exits with a failure, so a
// deadlock shows as a failed test rather than as a test run that never ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace vt {

class Watchdog {
  public:
    Watchdog(std::chrono::seconds limit, std::string what);
    // Ends the watch: the stretch finished in time.
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace vt
