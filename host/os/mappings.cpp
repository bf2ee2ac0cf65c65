// Host mappings: the shared data mapping common to every process of the root,
// private mappings the kernel side can be handed, and the registry that finds
// the mapping (descriptor and offset) holding a caller's buffer.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "host/os/internal.h"

namespace vthost {
namespace {

struct Mapping {
    uintptr_t base;
    size_t cb;
    int fd;
};

struct Registry {
    std::mutex m;
    std::vector<Mapping> mappings;
};

Registry& Mappings() {
    static Registry* registry = new Registry;
    return *registry;
}

size_t PageRound(size_t cb) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (cb == 0) cb = 1;
    return (cb + page - 1) / page * page;
}

// Zeroed memory with a descriptor the kernel side can map; anonymous memory
// (fd -1, so it can never be passed on) when no such descriptor can be had.
void* MapAnonymous(size_t cb, int* pFd) {
    *pFd = -1;
    int fd = memfd_create("veltrane-private", MFD_CLOEXEC);
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(cb)) == 0) {
        void* p = mmap(nullptr, cb, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p != MAP_FAILED) {
            *pFd = fd;
            return p;
        }
    }
    if (fd >= 0) close(fd);
    void* p = mmap(nullptr, cb, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void* MapSharedFile(const std::string& name, size_t cb, int* pFd) {
    const std::string& dir = ObjectDir();
    if (dir.empty()) return nullptr;
    std::u16string wide(name.begin(), name.end());
    auto file = std::make_unique<NamedObjectFile>();
    bool fFresh = false;
    if (!file->Open(dir + "/" + SafeFileName("map-", wide), &fFresh)) return nullptr;
    int fd = file->fd();
    // The file only ever grows: the kernel side may still map it (a stream
    // of a process that was killed runs on until it sees the process gone),
    // and memory cut from under a mapping faults there.
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && static_cast<size_t>(st.st_size) < cb) ok = ftruncate(fd, static_cast<off_t>(cb)) == 0;
    void* p = ok ? mmap(nullptr, cb, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (p == MAP_FAILED) return nullptr;
    // Nobody else lives: whatever the file holds was left by processes that
    // are gone.
    if (fFresh) std::memset(p, 0, cb);
    file->Ready();
    *pFd = file->ReleaseFd();
    KeepForever(std::move(file));
    return p;
}

}  // namespace

void RegisterMapping(void* p, size_t cb, int fd) {
    Registry& r = Mappings();
    std::lock_guard<std::mutex> lock(r.m);
    r.mappings.push_back({reinterpret_cast<uintptr_t>(p), cb, fd});
}

}  // namespace vthost

using namespace vthost;

extern "C" {

void* VtHostMapShared(const char* pszName, SIZE_T cb) {
    size_t cbMap = PageRound(cb);
    int fd = -1;
    void* p = MapSharedFile(pszName ? pszName : "", cbMap, &fd);
    // The root cannot hold it: the memory is this process's own, still zeroed
    // and still registered.
    if (!p) p = MapAnonymous(cbMap, &fd);
    if (!p) return nullptr;
    RegisterMapping(p, cbMap, fd);
    return p;
}

void* VtHostMapPrivate(SIZE_T cb) {
    size_t cbMap = PageRound(cb);
    int fd = -1;
    void* p = MapAnonymous(cbMap, &fd);
    if (!p) return nullptr;
    RegisterMapping(p, cbMap, fd);
    return p;
}

BOOL VtHostFindMapping(const void* p, SIZE_T cb, int* pFd, uint64_t* pOffset) {
    uintptr_t start = reinterpret_cast<uintptr_t>(p);
    Registry& r = Mappings();
    std::lock_guard<std::mutex> lock(r.m);
    for (const Mapping& m : r.mappings) {
        if (m.fd < 0 || start < m.base || start - m.base > m.cb || cb > m.cb - (start - m.base))
            continue;
        if (pFd) *pFd = m.fd;
        if (pOffset) *pOffset = start - m.base;
        return TRUE;
    }
    return FALSE;
}

}  // extern "C"
