// Listening sockets standing in for plugged interfaces (see served_nodes.h).
#include "tests/core/served_nodes.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "host/os/devwire.h"
#include "tests/support/support.h"

namespace vt {

ServedNodes::ServedNodes(std::initializer_list<unsigned> nodes) {
    mkdir(devwire::DeviceDir(TestRoot()).c_str(), 0700);
    for (unsigned node : nodes) {
        std::string path = devwire::DevicePath(TestRoot(), node);
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        unlink(path.c_str());
        if (!devwire::SocketAddress(path, &addr) || fd < 0 ||
            bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0)
            throw std::runtime_error("cannot serve " + path);
        nodes_.push_back({node, fd});
    }
    if (pipe(wake_) != 0) throw std::runtime_error("pipe");
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

void ServedNodes::AcceptLoop() {
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const Node& n : nodes_)
                fds.push_back({n.fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 50) < 0) continue;
        if (fds[0].revents) return;
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            int c = accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c >= 0) close(c);
        }
    }
}

void ServedNodes::Unserve(unsigned node) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = nodes_.begin(); it != nodes_.end(); ++it) {
        if (it->node != node) continue;
        close(it->fd);
        unlink(devwire::DevicePath(TestRoot(), node).c_str());
        nodes_.erase(it);
        return;
    }
}

ServedNodes::~ServedNodes() {
    if (write(wake_[1], "x", 1) != 1) {
    }
    acceptor_.join();
    close(wake_[0]);
    close(wake_[1]);
    while (!nodes_.empty())
        Unserve(nodes_.back().node);
}

}  // namespace vt
