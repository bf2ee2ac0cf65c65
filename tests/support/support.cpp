// Test support: the per-process object root, hex helpers and child processes.
#include "tests/support/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "sim/hex_text.h"

extern char** environ;

namespace vt {
namespace {

constexpr const char* kRootPrefix = "/tmp/veltrane-test-";
constexpr const char* kOwnerFile = "/owner";

// A test process that crashed could not remove its root: the next one to
// start removes every root whose owner no longer runs.
void RemoveRootsOfDeadOwners() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp", ec)) {
        std::string path = entry.path().string();
        if (path.rfind(kRootPrefix, 0) != 0) continue;
        FILE* f = std::fopen((path + kOwnerFile).c_str(), "r");
        if (!f) continue;  // not one of ours yet, or still being made
        long pid = 0;
        bool fRead = std::fscanf(f, "%ld", &pid) == 1;
        std::fclose(f);
        if (fRead && pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            std::filesystem::remove_all(path, ec);
    }
}

// Made before main runs and before any library asks for the root, so every
// object the host creates for this process lands in it.
struct RootHolder {
    std::string path;
    pid_t owner = 0;
    RootHolder() {
        // A child of a test process works under its parent's root.
        const char* inherited = std::getenv("VT_TEST_ROOT_OWNER");
        const char* root = std::getenv("VELTRANE_ROOT");
        if (inherited && root && *root) {
            path = root;
            return;
        }
        RemoveRootsOfDeadOwners();
        std::string tmpl = std::string(kRootPrefix) + "XXXXXX";
        const char* made = mkdtemp(tmpl.data());
        if (!made) {
            std::perror("mkdtemp");
            std::abort();
        }
        path = made;
        owner = getpid();
        if (FILE* f = std::fopen((path + kOwnerFile).c_str(), "w")) {
            std::fprintf(f, "%ld\n", static_cast<long>(owner));
            std::fclose(f);
        }
        setenv("VELTRANE_ROOT", path.c_str(), 1);
        setenv("VT_TEST_ROOT_OWNER", std::to_string(owner).c_str(), 1);
        // No process of a test asks the kernel side anything while it holds
        // the driver's lock: the host aborts the one that does.
        setenv("VT_HOST_FORBID_IO_UNDER_MUTEX", "1", 1);
    }
    ~RootHolder() {
        // Only the process that made it removes it (children inherit the value).
        if (owner == 0 || getpid() != owner) return;
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

RootHolder& Holder() {
    static RootHolder holder;
    return holder;
}

// Force the root into existence during static initialisation.
__attribute__((constructor(101))) void MakeRootEarly() {
    Holder();
}

}  // namespace

const std::string& TestRoot() {
    return Holder().path;
}

std::vector<BYTE> Hex(const std::string& text) {
    std::vector<BYTE> out;
    std::string bad;
    if (!hex::ParseBytes(text, &out, &bad)) throw std::invalid_argument("not hex bytes: " + bad);
    return out;
}

std::string HexString(const BYTE* p, size_t cb) {
    return hex::Bytes(p, cb);
}

template <typename Unit>
std::string NarrowUnits(const Unit* psz) {
    std::string s;
    for (; psz && *psz; ++psz)
        s += static_cast<uint32_t>(*psz) < 0x80 ? static_cast<char>(*psz) : '?';
    return s;
}

std::string Narrow(const char16_t* psz) {
    return NarrowUnits(psz);
}

std::string Narrow(const wchar_t* psz) {
    return NarrowUnits(psz);
}

bool Eventually(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&fa, fromChild[1], 1);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(toChild[0]);
    close(fromChild[1]);
    if (rc != 0) {
        close(toChild[1]);
        close(fromChild[0]);
        throw std::runtime_error("posix_spawn " + argv[0] + ": " + std::strerror(rc));
    }
    pid_ = pid;
    in_ = toChild[1];
    out_ = fromChild[0];
}

ChildProcess::~ChildProcess() {
    Kill();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept {
    *this = std::move(other);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        Kill();
        pid_ = other.pid_;
        in_ = other.in_;
        out_ = other.out_;
        buffered_ = std::move(other.buffered_);
        other.pid_ = other.in_ = other.out_ = -1;
    }
    return *this;
}

void ChildProcess::Send(const std::string& line) {
    std::string s = line + "\n";
    const char* p = s.data();
    size_t left = s.size();
    while (left > 0) {
        ssize_t n = write(in_, p, left);
        if (n <= 0) throw std::runtime_error("write to child failed");
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::string ChildProcess::ReadLine(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t nl = buffered_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) throw std::runtime_error("child did not answer in time");
        pollfd pfd{out_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) throw std::runtime_error("child closed its output");
        buffered_.append(buf, static_cast<size_t>(n));
    }
}

bool ChildProcess::ReadAvailable(std::vector<std::string>* lines) {
    bool open = out_ >= 0;
    for (pollfd pfd{out_, POLLIN, 0}; open && poll(&pfd, 1, 0) > 0;) {
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) {
            open = false;
            break;
        }
        buffered_.append(buf, static_cast<size_t>(n));
    }
    for (size_t nl; (nl = buffered_.find('\n')) != std::string::npos;) {
        lines->push_back(buffered_.substr(0, nl));
        buffered_.erase(0, nl + 1);
    }
    return open;
}

void ChildProcess::Kill() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
    in_ = out_ = -1;
}

int ChildProcess::Wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    int status = 0;
    auto reaped = [&] { return waitpid(pid_, &status, WNOHANG) == pid_; };
    bool fReaped;
    // The process descriptor becomes readable when the process exits.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
        pollfd pfd{pidfd, POLLIN, 0};
        while (poll(&pfd, 1, timeoutMs) < 0 && errno == EINTR) {
        }
        close(pidfd);
        fReaped = reaped();
    } else {
        fReaped = Eventually(reaped, timeoutMs);  // a kernel without process descriptors
    }
    if (!fReaped) {
        Kill();
        return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string BuiltProgram(const std::string& relative) {
    return std::string(VT_BIN_DIR) + "/" + relative;
}

int OpenDescriptorCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory stream itself
}

}  // namespace vt
