// The tiny kernel side of the device tests (see fake_device.h).
#include "tests/host/fake_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "tests/support/support.h"

namespace vthosttest {

FakeDevice::FakeDevice(const std::string& name, Handler handler)
    : path_(devwire::DevicePath(vt::TestRoot(), name)), handler_(std::move(handler)) {
    mkdir(devwire::DeviceDir(vt::TestRoot()).c_str(), 0700);
    listen_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    unlink(path_.c_str());
    if (!devwire::SocketAddress(path_, &addr) || listen_ < 0 ||
        bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listen_, 64) != 0 || pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot serve " + path_);
    thread_ = std::thread([this] { Serve(); });
}

FakeDevice::~FakeDevice() {
    char c = 0;
    (void)!write(wake_[1], &c, 1);
    thread_.join();
    unlink(path_.c_str());
    close(listen_);
    close(wake_[0]);
    close(wake_[1]);
    for (int fd : fds_)
        close(fd);
}

void FakeDevice::Serve() {
    std::vector<int> conns;
    for (;;) {
        std::vector<pollfd> pfds{{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
        for (int c : conns)
            pfds.push_back({c, POLLIN, 0});
        if (poll(pfds.data(), pfds.size(), -1) < 0) continue;
        if (pfds[0].revents) {
            // Taken, so that what the test did before it asked is seen here.
            char c;
            (void)!read(wake_[0], &c, 1);
            break;
        }
        if (pfds[1].revents & POLLIN) {
            int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) conns.push_back(c);
        }
        for (size_t i = 2; i < pfds.size(); ++i) {
            if (!pfds[i].revents) continue;
            int conn = pfds[i].fd;
            BYTE buf[sizeof(devwire::Request) + devwire::kMaxPayload];
            devwire::Received got = devwire::ReceiveMessage(conn, buf, sizeof buf, 0);
            ssize_t n = got.cb;
            if (n <= 0) {
                close(conn);
                conns.erase(std::find(conns.begin(), conns.end(), conn));
                std::lock_guard<std::mutex> lock(m_);
                ++disconnects_;
                cv_.notify_all();
                continue;
            }
            Request r;
            r.conn = conn;
            std::memcpy(&r.hdr, buf, sizeof r.hdr);
            r.in.assign(buf + sizeof r.hdr, buf + n);
            if (!got.fds.empty()) {
                r.fd = got.fds.front();
                std::lock_guard<std::mutex> lock(m_);
                fds_.insert(fds_.end(), got.fds.begin(), got.fds.end());
            }
            handler_(*this, r);
            std::lock_guard<std::mutex> lock(m_);
            ++requests_;
            cv_.notify_all();
        }
    }
    for (int c : conns)
        close(c);
}

void FakeDevice::Send(int conn, uint32_t type, uint32_t id, uint32_t pending, uint32_t status,
                      const std::vector<BYTE>& out, int64_t cb) {
    devwire::Reply reply{type, id, pending, status, static_cast<uint32_t>(cb < 0 ? out.size() : cb),
                         0};
    std::vector<BYTE> msg(sizeof reply);
    std::memcpy(msg.data(), &reply, sizeof reply);
    msg.insert(msg.end(), out.begin(), out.end());
    send(conn, msg.data(), msg.size(), MSG_NOSIGNAL);
}

void FakeDevice::ReplyNow(const Request& r, uint32_t status, const std::vector<BYTE>& out,
                          bool fPending, int64_t cb) {
    Send(r.conn, devwire::kReplyNow, r.hdr.dwId, fPending ? 1 : 0, status, out, cb);
}

void FakeDevice::ReplyLater(const Request& r, uint32_t status, const std::vector<BYTE>& out,
                            int64_t cb) {
    Send(r.conn, devwire::kReplyLater, r.hdr.dwId, 0, status, out, cb);
}

void FakeDevice::CloseConnection(int conn) {
    // The serving thread sees its own end shut and closes it.
    shutdown(conn, SHUT_RDWR);
}

int FakeDevice::WaitCount(const int& count, int n) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return count >= n; });
    return count;
}

int FakeDevice::WaitRequests(int n) {
    return WaitCount(requests_, n);
}
int FakeDevice::WaitDisconnects(int n) {
    return WaitCount(disconnects_, n);
}

}  // namespace vthosttest
