// vt::Watchdog: a thread that waits for the end of the watched stretch.
#include "tests/support/watchdog.h"

#include <unistd.h>

#include <cstdio>

namespace vt {

Watchdog::Watchdog(std::chrono::seconds limit, std::string what) {
    thread_ = std::thread([this, limit, what = std::move(what)] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (cv_.wait_for(lock, limit, [this] { return done_; })) return;
        std::fprintf(stderr, "HANG: %s did not finish within %lld s\n", what.c_str(),
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        // The hung threads hold locks: no destructor or exit handler may run.
        _exit(1);
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

}  // namespace vt
