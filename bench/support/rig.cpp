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

SimChild::SimChild(const std::string& name, const std::vector<std::string>& args) : name_(name) {
    int ready[2];
    if (pipe(ready) != 0) Fail(name_, "pipe");
    pid_ = fork();
    if (pid_ < 0) Fail(name_, "fork");
    if (pid_ == 0) {
        // The child is the simulator: its "ready" line goes to the pipe.
        close(ready[0]);
        dup2(ready[1], STDOUT_FILENO);
        close(ready[1]);
        std::vector<std::string> all{"sim"};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back("--exit-with-parent");
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        _exit(sim::Main(static_cast<int>(all.size()), argv.data()));
    }
    close(ready[1]);
    std::string got;
    pollfd pfd{ready[0], POLLIN, 0};
    while (got.find('\n') == std::string::npos && poll(&pfd, 1, 10000) > 0) {
        char buf[64];
        ssize_t n = read(ready[0], buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    close(ready[0]);
    if (got.rfind("ready", 0) != 0) Fail(name_, "the simulator did not start");
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
    int pipeOut[2];
    if (pipe(pipeOut) != 0) Fail(name_, "pipe");
    pid_ = fork();
    if (pid_ < 0) Fail(name_, "fork");
    if (pid_ == 0) {
        close(pipeOut[0]);
        dup2(pipeOut[1], STDOUT_FILENO);
        close(pipeOut[1]);
        std::vector<std::string> all{VT_VELTRANE_EXE};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeOut[1]);
    out_ = pipeOut[0];
}

CommandChild::~CommandChild() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
}

std::string CommandChild::ReadLine(int timeoutMs) {
    int64_t giveUp = NowNs() + int64_t(timeoutMs) * 1000000;
    size_t end;
    while ((end = got_.find('\n')) == std::string::npos) {
        int left = static_cast<int>((giveUp - NowNs()) / 1000000);
        pollfd pfd{out_, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, left) <= 0) return "";
        char buf[256];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return "";
        got_.append(buf, static_cast<size_t>(n));
    }
    std::string line = got_.substr(0, end);
    got_.erase(0, end + 1);
    return line;
}

int CommandChild::Wait() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) Fail(name_, "waitpid");
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace bench
