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
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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

// True while the file open on fd still has its name: the last user may have
// removed it while this process waited for its lock.
bool StillNamed(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_nlink > 0;
}

}  // namespace

NamedObjectFile::~NamedObjectFile() {
    // Closing the users descriptor ends this process's use of the object.
    if (init_ >= 0) close(init_);
    if (users_ >= 0) close(users_);
    if (fd_ >= 0) close(fd_);
}

bool NamedObjectFile::Open(const std::string& path, bool* pfFresh) {
    path_ = path;
    for (;;) {
        init_ = OpenFile(path + ".init");
        if (init_ < 0 || Flock(init_, LOCK_EX) != 0) return false;
        if (StillNamed(init_)) break;
        close(init_);
    }
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

void NamedObjectFile::RemoveIfLastUser() {
    if (users_ < 0 || path_.empty()) return;
    int init = OpenFile(path_ + ".init");
    if (init < 0) return;
    // Under the init lock nobody else looks. The shared lock is changed to an
    // exclusive one, which succeeds only when no other user holds one; the
    // process ends either way, so the shared lock may go.
    if (Flock(init, LOCK_EX) == 0 && StillNamed(init) && Flock(users_, LOCK_EX | LOCK_NB) == 0) {
        unlink(path_.c_str());
        unlink((path_ + ".users").c_str());
        unlink((path_ + ".init").c_str());  // last: a newcomer waiting on it looks again
    }
    close(init);
}

namespace {

struct Kept {
    std::mutex m;
    std::vector<std::unique_ptr<NamedObjectFile>> files;
};

// Leaked on purpose, yet reachable: nothing here is ever given back.
Kept& KeptFiles() {
    static Kept* kept = new Kept;
    return *kept;
}

void RemoveFilesOfLastUse() {
    Kept& kept = KeptFiles();
    std::lock_guard<std::mutex> lock(kept.m);
    for (auto& file : kept.files)
        file->RemoveIfLastUser();
}

}  // namespace

void KeepForever(std::unique_ptr<NamedObjectFile> file) {
    Kept& kept = KeptFiles();
    std::lock_guard<std::mutex> lock(kept.m);
    if (kept.files.empty()) std::atexit(RemoveFilesOfLastUse);
    kept.files.push_back(std::move(file));
}

}  // namespace vthost
