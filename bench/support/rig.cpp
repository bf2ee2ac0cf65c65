#include "bench/support/rig.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "bench/support/measure.h"

namespace bench {

ScratchRoot::ScratchRoot() {
    char tmpl[] = "/tmp/veltrane-bench-XXXXXX";
    if (!mkdtemp(tmpl)) Fail("bench", "cannot make an object root under /tmp");
    path_ = tmpl;
    setenv("VELTRANE_ROOT", path_.c_str(), 1);
}

ScratchRoot::~ScratchRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

namespace {

// Forks; the child's standard output goes to a pipe whose read end the
// parent gets in *pOut. Answers the pid (0 in the child).
pid_t ForkPiped(const std::string& name, int* pOut) {
    int fds[2];
    if (pipe(fds) != 0) Fail(name, "pipe");
    pid_t pid = fork();
    if (pid < 0) Fail(name, "fork");
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        return 0;
    }
    close(fds[1]);
    *pOut = fds[0];
    return pid;
}

std::vector<char*> ArgvOf(std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return argv;
}

// The next line from fd without the newline, what came after it kept in
// *pGot; "" at the end of the output or after timeoutMs.
std::string ReadLineFrom(int fd, std::string* pGot, int timeoutMs) {
    int64_t giveUp = NowNs() + int64_t(timeoutMs) * 1000000;
    size_t end;
    while ((end = pGot->find('\n')) == std::string::npos) {
        int left = static_cast<int>((giveUp - NowNs()) / 1000000);
        pollfd pfd{fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, left) <= 0) return "";
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return "";
        pGot->append(buf, static_cast<size_t>(n));
    }
    std::string line = pGot->substr(0, end);
    pGot->erase(0, end + 1);
    return line;
}

}  // namespace

SimChild::SimChild(const std::string& name, const std::vector<std::string>& args) : name_(name) {
    int ready = -1;
    pid_ = ForkPiped(name_, &ready);
    if (pid_ == 0) {
        // The child is the simulator: its "ready" line goes to the pipe.
        std::vector<std::string> all{"sim"};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back("--exit-with-parent");
        _exit(sim::Main(static_cast<int>(all.size()), ArgvOf(all).data()));
    }
    std::string got;
    std::string line = ReadLineFrom(ready, &got, 10000);
    close(ready);
    if (line.rfind("ready", 0) != 0) Fail(name_, "the simulator did not start");
    std::string error;
    if (!control_.Connect("", &error)) Fail(name_, error);
}

SimChild::~SimChild() {
    control_.Close();
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        usleep(10000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

std::string SimChild::Ok(const std::string& line, int timeoutMs) {
    std::string answer, error;
    if (!control_.Command(line, &answer, &error, timeoutMs)) Fail(name_, error);
    if (answer.rfind("ok", 0) != 0) Fail(name_, "'" + line + "' answered '" + answer + "'");
    return answer;
}

CommandChild::CommandChild(const std::string& name, const std::vector<std::string>& args)
    : name_(name) {
    pid_ = ForkPiped(name_, &out_);
    if (pid_ == 0) {
        std::vector<std::string> all{VT_VELTRANE_EXE};
        all.insert(all.end(), args.begin(), args.end());
        execv(all[0].c_str(), ArgvOf(all).data());
        _exit(127);
    }
}

CommandChild::~CommandChild() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
}

std::string CommandChild::ReadLine(int timeoutMs) {
    return ReadLineFrom(out_, &got_, timeoutMs);
}

int CommandChild::Wait() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) Fail(name_, "waitpid");
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace bench
