// Mutexes: CreateMutexW, ReleaseMutex and their wait. A named mutex is one
// object for every process of the root: a robust, process-shared, recursive
// pthread mutex in a small file under <root>/obj, mapped by every user. The
// kernel hands a robust mutex whose owner (thread or process) died to the
// next waiter with EOWNERDEAD, which becomes WAIT_ABANDONED here.
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "host/os/internal.h"

namespace vthost {
namespace {

// The mutexes this thread holds, counting each take of a re-entrant one.
// Initial-exec: an offset from the thread pointer, not a call to
// __tls_get_addr on each wait and release (this library is loaded with the
// program, or by a layer that is).
__attribute__((tls_model("initial-exec"))) thread_local int tlsMutexesHeld = 0;

}  // namespace

void CheckNoMutexHeld(const char* pszCall) {
    static const bool fForbidden = std::getenv("VT_HOST_FORBID_IO_UNDER_MUTEX") != nullptr;
    if (!fForbidden || tlsMutexesHeld == 0) return;
    std::fprintf(stderr, "host: %s while the thread holds a mutex\n", pszCall);
    std::abort();
}

struct SharedMutex {
    volatile uint32_t dwMagic;
    uint32_t dwReserved;
    pthread_mutex_t m;
};

// A timed wait runs on the monotonic clock, so that setting the time of day
// cannot shorten or stretch it; but ThreadSanitizer does not see
// pthread_mutex_clocklock (it would take every such lock for none), so its
// build waits with pthread_mutex_timedlock on the realtime clock.
#ifdef VT_TSAN
constexpr clockid_t kWaitClock = CLOCK_REALTIME;
#else
constexpr clockid_t kWaitClock = CLOCK_MONOTONIC;
#endif

DWORD WaitSharedMutex(SharedMutex* p, DWORD dwMilliseconds) {
    int rc;
    if (dwMilliseconds == INFINITE) {
        rc = pthread_mutex_lock(&p->m);
    } else if (dwMilliseconds == 0) {
        rc = pthread_mutex_trylock(&p->m);
    } else {
        timespec deadline;
        clock_gettime(kWaitClock, &deadline);
        deadline.tv_sec += dwMilliseconds / 1000;
        deadline.tv_nsec += static_cast<long>(dwMilliseconds % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
#ifdef VT_TSAN
        rc = pthread_mutex_timedlock(&p->m, &deadline);
#else
        rc = pthread_mutex_clocklock(&p->m, kWaitClock, &deadline);
#endif
    }
    switch (rc) {
        case 0:
            ++tlsMutexesHeld;
            return WAIT_OBJECT_0;
        case EOWNERDEAD:
            // Ownership passes to us; the protected data may be half
            // changed, which the caller learns from WAIT_ABANDONED.
            pthread_mutex_consistent(&p->m);
            ++tlsMutexesHeld;
            return WAIT_ABANDONED;
        case EBUSY:
        case ETIMEDOUT:
            return WAIT_TIMEOUT;
        default:
            SetLastError(ERROR_GEN_FAILURE);
            return WAIT_FAILED;
    }
}

bool ReleaseSharedMutex(SharedMutex* p) {
    if (pthread_mutex_unlock(&p->m) != 0) return false;
    --tlsMutexesHeld;
    return true;
}

namespace {

constexpr uint32_t kMutexMagic = 0x5854554D;  // written last, once the mutex is usable

constexpr size_t kMutexFileBytes = 4096;
static_assert(sizeof(SharedMutex) <= kMutexFileBytes, "the mutex fits its file");

bool InitMutex(SharedMutex* p) {
    p->dwMagic = 0;
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutex_init(&p->m, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    if (ok) __atomic_store_n(&p->dwMagic, kMutexMagic, __ATOMIC_RELEASE);
    return ok;
}

class Mutex : public Object {
  public:
    explicit Mutex(SharedMutex* p) : p_(p) {}
    DWORD Wait(DWORD dwMilliseconds) override { return WaitSharedMutex(p_, dwMilliseconds); }
    SharedMutex* shared() const { return p_; }

  private:
    SharedMutex* p_;
};

SharedMutex* MapMutex(int fd) {
    int flags = fd >= 0 ? MAP_SHARED : MAP_SHARED | MAP_ANONYMOUS;
    void* p = mmap(nullptr, kMutexFileBytes, PROT_READ | PROT_WRITE, flags, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<SharedMutex*>(p);
}

// A mutex's memory stays mapped for the rest of the process, however many
// handles come and go: glibc links every robust mutex a thread holds into
// that thread's list through the mutex memory itself, so unmapping a mutex
// that is (or was) held would leave the list pointing at nothing. Every
// handle of one name in this process therefore shares one mapping.
struct NamedMutexes {
    std::mutex m;
    std::map<std::string, SharedMutex*> byFile;
};

NamedMutexes& Named() {
    static NamedMutexes* named = new NamedMutexes;
    return *named;
}

// Opens (or makes, when no other live process uses it) the named mutex's
// file and maps it. *pfFresh tells whether it was made afresh.
SharedMutex* MapNamedMutex(const std::string& path, bool* pfFresh) {
    auto file = std::make_unique<NamedObjectFile>();
    struct stat st;
    if (!file->Open(path, pfFresh) || fstat(file->fd(), &st) != 0) return nullptr;
    if (static_cast<size_t>(st.st_size) < kMutexFileBytes) {
        if (ftruncate(file->fd(), kMutexFileBytes) != 0) return nullptr;
        *pfFresh = true;
    }
    SharedMutex* p = MapMutex(file->fd());
    if (!p) return nullptr;
    // With no other live user the mutex is made afresh, whatever a dead
    // process left in the file; a creator that died half-way left no magic.
    if (*pfFresh || __atomic_load_n(&p->dwMagic, __ATOMIC_ACQUIRE) != kMutexMagic) {
        *pfFresh = true;
        if (!InitMutex(p)) {
            munmap(p, kMutexFileBytes);
            return nullptr;
        }
    }
    file->Ready();
    KeepForever(std::move(file));
    return p;
}

// Answers the mutex and whether this call made it (rather than opened one
// that a live process already uses).
std::shared_ptr<Mutex> OpenMutex(LPCWSTR lpName, bool* pfCreated) {
    if (!lpName || !*lpName) {
        // Never unmapped either, for the same reason.
        SharedMutex* p = MapMutex(-1);
        if (!p || !InitMutex(p)) return nullptr;
        *pfCreated = true;
        return std::make_shared<Mutex>(p);
    }
    const std::string& dir = ObjectDir();
    if (dir.empty()) return nullptr;
    std::string path = dir + "/" + SafeFileName("mutex-", lpName);
    NamedMutexes& named = Named();
    std::lock_guard<std::mutex> lock(named.m);
    auto it = named.byFile.find(path);
    if (it != named.byFile.end()) {
        *pfCreated = false;
        return std::make_shared<Mutex>(it->second);
    }
    bool fFresh = false;
    SharedMutex* p = MapNamedMutex(path, &fFresh);
    if (!p) return nullptr;
    named.byFile[path] = p;
    *pfCreated = fFresh;
    return std::make_shared<Mutex>(p);
}

}  // namespace
}  // namespace vthost

using namespace vthost;

extern "C" {

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
    bool fCreated = false;
    std::shared_ptr<Mutex> mutex = OpenMutex(lpName, &fCreated);
    if (!mutex) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    // As on Windows, only the creator takes initial ownership; opening an
    // existing mutex reports ERROR_ALREADY_EXISTS.
    if (bInitialOwner && fCreated) mutex->Wait(INFINITE);
    SharedMutex* p = mutex->shared();
    HANDLE h = AddHandle(std::move(mutex), p);
    SetLastError(fCreated ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return h;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    SharedMutex* p = MutexOfHandle(hMutex);
    if (!p) {
        auto mutex = HandleOfKind<Mutex>(hMutex);
        if (!mutex) return FALSE;
        p = mutex->shared();
    }
    if (!ReleaseSharedMutex(p)) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
