// The files behind a named object under <root>/obj, and how a process learns
// that it is the only live user (so that state left by processes that died
// is thrown away rather than inherited).
//
// Every live user holds a shared flock on "<file>.users" for as long as it
// uses the object. A newcomer first takes "<file>.init" exclusively, so only
// one process at a time looks and sets up; then an exclusive non-blocking
// flock on the users file succeeds exactly when nobody else holds it. flock
// locks die with their process, so a crash leaves no stale user behind. The
// users file is separate from the data file because the data file's
// descriptor may be handed to the kernel side, which would then share its
// locks.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "host/os/internal.h"

namespace vthost {
namespace {

int OpenFile(const std::string& path) {
    return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

int Flock(int fd, int op) {
    int rc;
    do
        rc = flock(fd, op);
    while (rc != 0 && errno == EINTR);
    return rc;
}

}  // namespace

NamedObjectFile::~NamedObjectFile() {
    // Closing the users descriptor ends this process's use of the object.
    if (init_ >= 0) close(init_);
    if (users_ >= 0) close(users_);
    if (fd_ >= 0) close(fd_);
}

bool NamedObjectFile::Open(const std::string& path, bool* pfFresh) {
    init_ = OpenFile(path + ".init");
    if (init_ < 0 || Flock(init_, LOCK_EX) != 0) return false;
    users_ = OpenFile(path + ".users");
    fd_ = OpenFile(path);
    if (users_ < 0 || fd_ < 0) return false;
    if (Flock(users_, LOCK_EX | LOCK_NB) == 0) {
        *pfFresh = true;
    } else if (errno == EWOULDBLOCK) {
        *pfFresh = false;
    } else {
        return false;
    }
    return true;
}

void NamedObjectFile::Ready() {
    // Becoming a shared user converts an exclusive lock in place; nobody can
    // look in between because the init lock is still held.
    Flock(users_, LOCK_SH);
    close(init_);
    init_ = -1;
}

void KeepForever(std::unique_ptr<NamedObjectFile> file) {
    // Leaked on purpose, yet reachable: nothing here is ever given back.
    static std::mutex* m = new std::mutex;
    static auto* kept = new std::vector<std::unique_ptr<NamedObjectFile>>;
    std::lock_guard<std::mutex> lock(*m);
    kept->push_back(std::move(file));
}

}  // namespace vthost
