// The server's sockets and its loop: one thread, one epoll set holding the
// control socket, the device node sockets, every connection, the pacing timer
// and the wake-up that Stop writes. A control command that waits parks its
// connection (the lines behind it wait too) and leaves every other
// connection and stream going; since every counter changes on this thread
// while it handles an event, a parked wait is looked at again after each
// event, and the loop wakes for nothing else but the earliest deadline.
// Nothing waits for a peer: answers it does not take wait in its
// connection's outbox, and the connection is not read from meanwhile.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "sim/server_state.h"

namespace sim {
namespace {

constexpr size_t kMaxControlLine = 1 << 20;

void Watch(State& s, int fd, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    epoll_ctl(s.epollFd, EPOLL_CTL_ADD, fd, &ev);
}

void Rewatch(State& s, int fd, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    epoll_ctl(s.epollFd, EPOLL_CTL_MOD, fd, &ev);
}

void Forget(State& s, int fd) {
    epoll_ctl(s.epollFd, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
}

// Sends the replies waiting for a device connection's peer, as far as it
// makes room now. A connection that failed forgets them; the loop closes it.
void FlushDevice(DeviceConn& conn) {
    while (!conn.outbox.empty()) {
        const std::string& m = conn.outbox.front();
        ssize_t n = send(conn.fd, m.data(), m.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0) {
            conn.outbox.clear();
            return;
        }
        conn.outbox.pop_front();
    }
}

bool MakeDir(const std::string& path, std::string* error) {
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    *error = "cannot make " + path + ": " + std::strerror(errno);
    return false;
}

// One shot at the NowUs() time at (CLOCK_MONOTONIC), or disarmed for -1.
void ArmTimer(State& s, int64_t at) {
    if (at == s.timerAt) return;
    itimerspec its{};
    if (at >= 0) {
        // 0 would disarm it: a time already past is the earliest one instead.
        int64_t ns = std::max<int64_t>(at, 1) * 1000;
        its.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        its.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    timerfd_settime(s.timerFd, TFD_TIMER_ABSTIME, &its, nullptr);
    s.timerAt = at;
}

void AcceptDevice(State& s, unsigned node) {
    for (;;) {
        int fd = accept4(s.nodes[node].listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        auto conn = std::make_unique<DeviceConn>();
        conn->fd = fd;
        conn->node = node;
        conn->generation = s.nodes[node].generation;
        s.devices[fd] = std::move(conn);
        Watch(s, fd, EPOLLIN | EPOLLRDHUP);
    }
}

void AcceptControl(State& s) {
    for (;;) {
        int fd = accept4(s.controlFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        auto conn = std::make_unique<ControlConn>();
        conn->fd = fd;
        s.controls[fd] = std::move(conn);
        Watch(s, fd, EPOLLIN | EPOLLRDHUP);
    }
}

void CloseDevice(State& s, int fd) {
    auto it = s.devices.find(fd);
    if (it == s.devices.end()) return;
    DropConnection(s, *it->second);
    Forget(s, fd);
    s.devices.erase(it);
}

void CloseControl(State& s, int fd) {
    Forget(s, fd);
    s.controls.erase(fd);
}

// Every message waiting on a device connection. A message too short to name
// its request cannot be answered: the connection is closed.
void ReadDevice(State& s, int fd) {
    for (;;) {
        auto it = s.devices.find(fd);
        if (it == s.devices.end()) return;
        DeviceConn& conn = *it->second;
        if (!conn.outbox.empty()) return;  // the peer takes its answers first
        alignas(8) uint8_t buf[sizeof(devwire::Request) + devwire::kMaxPayload + 1];
        devwire::Received got = devwire::ReceiveMessage(fd, buf, sizeof buf, MSG_DONTWAIT);
        ssize_t n = got.cb;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // Only the first passed descriptor can be the output's mapping.
        int passed = -1;
        for (int passedFd : got.fds) {
            if (passed < 0)
                passed = passedFd;
            else
                close(passedFd);
        }
        if (n < static_cast<ssize_t>(sizeof(devwire::Request))) {
            if (passed >= 0) close(passed);
            CloseDevice(s, fd);
            return;
        }
        devwire::Request req;
        std::memcpy(&req, buf, sizeof req);
        size_t cbIn = static_cast<size_t>(n) - sizeof req;
        if (req.dwType != devwire::kRequest || req.cbIn != cbIn || cbIn > devwire::kMaxPayload ||
            (got.flags & (MSG_TRUNC | MSG_CTRUNC))) {
            if (passed >= 0) close(passed);
            devwire::Reply r{
                devwire::kReplyNow, req.dwId, 0, devwire::kStatusInvalidParameter, 0, 0};
            SendToDevice(conn, std::string(reinterpret_cast<const char*>(&r), sizeof r));
            continue;
        }
        HandleRequest(s, conn, req, buf + sizeof req, passed);
    }
}

// Sends what a control connection's peer makes room for now; false when the
// connection failed.
bool FlushControl(ControlConn& conn) {
    while (conn.outSent < conn.out.size()) {
        ssize_t n = send(conn.fd, conn.out.data() + conn.outSent, conn.out.size() - conn.outSent,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        conn.outSent += static_cast<size_t>(n);
    }
    conn.out.clear();
    conn.outSent = 0;
    return true;
}

// Answers a control connection; false when it had to be closed.
bool Answer(State& s, int fd, ControlConn& conn, const std::string& answer) {
    conn.out += answer;
    conn.out += '\n';
    if (FlushControl(conn)) return true;
    CloseControl(s, fd);
    return false;
}

// Executes the complete lines a control connection has sent, in order, until
// one of them waits; false when the connection had to be closed.
bool ServeLines(State& s, int fd, ControlConn& conn) {
    size_t nl;
    while (!conn.wait && !s.quit && conn.out.empty() &&
           (nl = conn.in.find('\n')) != std::string::npos) {
        std::string line = conn.in.substr(0, nl);
        conn.in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string answer = ExecuteControl(s, line, &conn.wait);
        if (!answer.empty() && !Answer(s, fd, conn, answer)) return false;
    }
    return true;
}

// Answers every parked wait that is due and serves the lines behind it; those
// may change what other waits look at, so it goes round until none is due.
void AnswerWaits(State& s, int64_t now) {
    for (bool answered = true; answered && !s.quit;) {
        answered = false;
        std::vector<int> waiting;
        for (const auto& [fd, conn] : s.controls)
            if (conn->wait) waiting.push_back(fd);
        for (int fd : waiting) {
            auto it = s.controls.find(fd);
            if (it == s.controls.end() || !it->second->wait || s.quit) continue;
            ControlConn& conn = *it->second;
            std::string answer = AnswerWait(s, *conn.wait, now);
            if (answer.empty()) continue;
            answered = true;
            conn.wait.reset();
            if (Answer(s, fd, conn, answer)) ServeLines(s, fd, conn);
        }
    }
}

// Milliseconds until the earliest deadline of a parked wait, rounded up; -1
// when nothing waits.
int NextDeadlineMs(const State& s, int64_t now) {
    int64_t earliest = -1;
    for (const auto& [fd, conn] : s.controls)
        if (conn->wait && (earliest < 0 || conn->wait->deadline < earliest))
            earliest = conn->wait->deadline;
    if (earliest < 0) return -1;
    return static_cast<int>(std::max<int64_t>(0, (earliest - now + 999) / 1000));
}

// Serves the lines a control connection has sent and reads more, for as
// long as its peer takes the answers.
void ReadControl(State& s, int fd) {
    for (bool read = false;; read = true) {
        auto it = s.controls.find(fd);
        if (it == s.controls.end()) return;
        ControlConn& conn = *it->second;
        if (read) {
            char buf[8192];
            ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
            if (n <= 0) return CloseControl(s, fd);
            conn.in.append(buf, static_cast<size_t>(n));
        }
        if (!ServeLines(s, fd, conn) || s.quit || !conn.out.empty()) return;
        if (conn.in.size() > kMaxControlLine) {
            if (Answer(s, fd, conn,
                       conn.wait ? "error too much sent behind a waiting command"
                                 : "error line too long"))
                CloseControl(s, fd);
            return;
        }
    }
}

// Each connection is watched for room to send while answers wait for its
// peer (a peer that only half-closed then reports nothing), and for what it
// sends otherwise.
void WatchOutboxes(State& s) {
    for (auto& [fd, conn] : s.devices) {
        bool out = !conn->outbox.empty();
        if (out != conn->watchingOut) Rewatch(s, fd, out ? EPOLLOUT : (EPOLLIN | EPOLLRDHUP));
        conn->watchingOut = out;
    }
    for (auto& [fd, conn] : s.controls) {
        bool out = !conn->out.empty();
        if (out != conn->watchingOut) Rewatch(s, fd, out ? EPOLLOUT : (EPOLLIN | EPOLLRDHUP));
        conn->watchingOut = out;
    }
}

void Run(State& s) {
    epoll_event events[64];
    while (!s.quit) {
        int n = epoll_wait(s.epollFd, events, 64, NextDeadlineMs(s, NowUs()));
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n && !s.quit; ++i) {
            int fd = events[i].data.fd;
            if (fd == s.wakeFd) {
                s.quit = true;
            } else if (fd == s.timerFd) {
                uint64_t ticks;
                while (read(s.timerFd, &ticks, sizeof ticks) > 0) {
                }
                s.timerAt = -1;  // a one-shot that went off is disarmed
            } else if (fd == s.controlFd) {
                AcceptControl(s);
            } else if (auto d = s.devices.find(fd); d != s.devices.end()) {
                FlushDevice(*d->second);
                ReadDevice(s, fd);
                if (events[i].events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) CloseDevice(s, fd);
            } else if (auto c = s.controls.find(fd); c != s.controls.end()) {
                if (!FlushControl(*c->second)) {
                    CloseControl(s, fd);
                    continue;
                }
                ReadControl(s, fd);
                if (s.controls.count(fd) && (events[i].events & (EPOLLHUP | EPOLLERR)))
                    CloseControl(s, fd);
            } else {
                for (unsigned node = 0; node < kDevNodes; ++node)
                    if (s.nodes[node].plugged && s.nodes[node].listenFd == fd)
                        AcceptDevice(s, node);
            }
        }
        int64_t now = NowUs();
        Pump(s, now);
        EndLostStreams(s);
        AnswerWaits(s, now);
        WatchOutboxes(s);
        ArmTimer(s, NextPumpAt(s, now));
    }
}

// Ends everything the server holds; the host completes what was pending on a
// closed connection itself.
void Shutdown(State& s) {
    ReleaseAllStreams(s);
    for (auto& [fd, conn] : s.devices)
        close(fd);
    s.devices.clear();
    for (auto& [fd, conn] : s.controls)
        close(fd);
    s.controls.clear();
    for (unsigned node = 0; node < kDevNodes; ++node) {
        Node& n = s.nodes[node];
        if (n.listenFd >= 0) {
            close(n.listenFd);
            unlink(devwire::DevicePath(s.root, node).c_str());
            n.listenFd = -1;
        }
        n.plugged = false;
    }
    if (s.controlFd >= 0) {
        close(s.controlFd);
        unlink(devwire::ControlPath(s.root).c_str());
    }
    if (s.timerFd >= 0) close(s.timerFd);
    if (s.epollFd >= 0) close(s.epollFd);
    s.controlFd = s.timerFd = s.epollFd = -1;
}

}  // namespace

int64_t NowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void SendToDevice(DeviceConn& conn, std::string message) {
    conn.outbox.push_back(std::move(message));
    FlushDevice(conn);
}

bool ParseRate(const std::string& text, Rate* rate) {
    if (text == "wire")
        *rate = Rate::Wire;
    else if (text == "fast")
        *rate = Rate::Fast;
    else if (text == "paused")
        *rate = Rate::Paused;
    else
        return false;
    return true;
}

Server::Server() = default;
Server::~Server() {
    Stop();
}

bool Server::Start(const Options& options, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    if (state_) {
        *error = "the server was started before";
        return false;
    }
    auto s = std::make_unique<State>();
    s->options = options;
    s->root = options.root.empty() ? devwire::Root() : options.root;
    for (unsigned node : options.nodes)
        if (node >= kDevNodes) {
            *error = "unknown node " + std::to_string(node);
            return false;
        }
    if (!MakeDir(s->root, error) || !MakeDir(devwire::DeviceDir(s->root), error)) return false;

    sockaddr_un addr;
    std::string control = devwire::ControlPath(s->root);
    if (!devwire::SocketAddress(control, &addr)) {
        *error = "socket path too long: " + control;
        return false;
    }
    // Another live server of this root answers on its control socket; one
    // that died left only the file.
    std::string notServed;
    if (ControlClient().Connect(s->root, &notServed)) {
        *error = "another simulator serves " + s->root;
        return false;
    }
    unlink(control.c_str());
    s->controlFd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    s->epollFd = epoll_create1(EPOLL_CLOEXEC);
    s->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    s->wakeFd = wakeFd_;
    if (s->controlFd < 0 || s->epollFd < 0 || s->timerFd < 0 || wakeFd_ < 0 ||
        bind(s->controlFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(s->controlFd, 16) != 0) {
        *error = "cannot serve " + control + ": " + std::strerror(errno);
        Shutdown(*s);
        if (wakeFd_ >= 0) close(wakeFd_);
        wakeFd_ = -1;
        return false;
    }
    Watch(*s, s->controlFd, EPOLLIN);
    Watch(*s, s->timerFd, EPOLLIN);
    Watch(*s, wakeFd_, EPOLLIN);
    for (unsigned node : options.nodes) {
        if (s->nodes[node].plugged) continue;
        if (!PlugNode(*s, node, kExpectedVendorId, kExpectedProductId, error)) {
            Shutdown(*s);
            close(wakeFd_);
            wakeFd_ = -1;
            return false;
        }
    }
    state_ = std::move(s);
    thread_ = std::thread([this] {
        Run(*state_);
        Shutdown(*state_);
        finished_ = true;
    });
    return true;
}

void Server::Stop() {
    if (thread_.joinable()) {
        uint64_t one = 1;
        ssize_t ignored = write(wakeFd_, &one, sizeof one);
        (void)ignored;
        thread_.join();
    }
    if (wakeFd_ >= 0) close(wakeFd_);
    wakeFd_ = -1;
    finished_ = true;
}

}  // namespace sim
