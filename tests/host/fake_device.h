// A tiny kernel side for the device tests: serves <root>/dev/NAME, hands
// every request to the test's handler on its own thread, and lets the test
// answer now or later, or drop a connection.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/os/devwire.h"
#include "host/os/win32.h"

namespace vthosttest {

class FakeDevice {
  public:
    struct Request {
        int conn = -1;
        devwire::Request hdr{};
        std::vector<BYTE> in;
        int fd = -1;  // the mapping of an out-direct request (owned by the device)
    };
    using Handler = std::function<void(FakeDevice&, const Request&)>;

    FakeDevice(const std::string& name, Handler handler);
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    // cb defaults to out.size().
    void ReplyNow(const Request& r, uint32_t status, const std::vector<BYTE>& out = {},
                  bool fPending = false, int64_t cb = -1);
    void ReplyLater(const Request& r, uint32_t status, const std::vector<BYTE>& out = {},
                    int64_t cb = -1);
    // The kernel side ends the connection.
    void CloseConnection(int conn);

    // Waits (bounded) until the counts reach n; answers the count.
    int WaitRequests(int n);
    int WaitDisconnects(int n);

  private:
    void Serve();
    void Send(int conn, uint32_t type, uint32_t id, uint32_t pending, uint32_t status,
              const std::vector<BYTE>& out, int64_t cb);
    int WaitCount(const int& count, int n);

    std::string path_;
    Handler handler_;
    int listen_ = -1;
    int wake_[2] = {-1, -1};
    std::mutex m_;
    std::condition_variable cv_;
    int requests_ = 0;
    int disconnects_ = 0;
    std::vector<int> fds_;
    std::thread thread_;
};

}  // namespace vthosttest
