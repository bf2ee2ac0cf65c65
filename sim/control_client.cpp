// The client of a simulator's control socket (library vtsimctl).
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "host/os/devwire.h"
#include "sim/sim.h"

namespace sim {

ControlClient::~ControlClient() {
    Close();
}

void ControlClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    buffered_.clear();
}

bool ControlClient::Connect(const std::string& root, std::string* error) {
    Close();
    std::string path = devwire::ControlPath(root.empty() ? devwire::Root() : root);
    sockaddr_un addr;
    if (!devwire::SocketAddress(path, &addr)) {
        *error = "socket path too long: " + path;
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = "cannot connect to " + path + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool ControlClient::Command(const std::string& line, std::string* answer, std::string* error,
                            int timeoutMs) {
    if (fd_ < 0) {
        *error = "not connected";
        return false;
    }
    if (line.find('\n') != std::string::npos) {
        *error = "a command is one line";
        return false;
    }
    std::string out = line + "\n";
    size_t sent = 0;
    while (sent < out.size()) {
        ssize_t n = send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = std::string("send: ") + std::strerror(errno);
            Close();
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t nl = buffered_.find('\n');
        if (nl != std::string::npos) {
            *answer = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            *error = "no answer to '" + line + "'";
            return false;
        }
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
        char buf[65536];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "the simulator closed the control connection";
            Close();
            return false;
        }
        buffered_.append(buf, static_cast<size_t>(n));
    }
}

}  // namespace sim
