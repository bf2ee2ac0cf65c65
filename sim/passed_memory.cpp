// The memory a peer passes with a start request: checked, mapped and guarded.
//
// The block lives in a file the peer keeps too (the shared data file under
// the object root, or a memfd), and the peer may shrink that file while the
// stream runs: the pages past its new end are gone, and touching them raises
// SIGBUS. A shared data file cannot be sealed against that, so every mapped
// block is guarded instead: a SIGBUS inside a block of the faulting thread puts
// zero pages in its place and marks it lost, the access that faulted goes on
// against the zeros, and the server ends the stream with an error.
//
// The guard table is read by the signal handler, so it is a fixed array of
// atomics: each entry belongs to the thread that mapped it (a server thread),
// and the handler looks only at its own thread's entries.
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "sim/server_state.h"

namespace sim {
namespace {

struct Guard {
    std::atomic<long> tid{0};  // the owning thread, 0 free
    std::atomic<uintptr_t> base{0};
    std::atomic<size_t> len{0};
    std::atomic<bool> lost{false};
};

// Every stream of every node of a server, and then some.
constexpr size_t kGuards = 2 * kDevNodes * (2 + kMaxInputStreams);
Guard gGuards[kGuards];
struct sigaction gPrevious;

long ThreadId() {
    return syscall(SYS_gettid);
}

void OnSigbus(int sig, siginfo_t* info, void* context) {
    int savedErrno = errno;
    uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
    long self = ThreadId();
    for (Guard& g : gGuards) {
        if (g.tid.load(std::memory_order_acquire) != self) continue;
        uintptr_t base = g.base.load(std::memory_order_relaxed);
        size_t len = g.len.load(std::memory_order_relaxed);
        if (at < base || at - base >= len) continue;
        void* zeros = mmap(reinterpret_cast<void*>(base), len, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros == MAP_FAILED) break;
        g.lost.store(true, std::memory_order_relaxed);
        errno = savedErrno;
        return;
    }
    // Not a block's: whoever handled it before does, or the default action
    // once the access faults again.
    if ((gPrevious.sa_flags & SA_SIGINFO) && gPrevious.sa_sigaction) {
        gPrevious.sa_sigaction(sig, info, context);
    } else if (gPrevious.sa_handler != SIG_DFL && gPrevious.sa_handler != SIG_IGN) {
        gPrevious.sa_handler(sig);
    } else {
        sigaction(SIGBUS, &gPrevious, nullptr);
    }
    errno = savedErrno;
}

void InstallHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = OnSigbus;
        sa.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, &gPrevious);
    });
}

int TakeGuard(void* base, size_t len) {
    long self = ThreadId();
    for (size_t i = 0; i < kGuards; ++i) {
        long free = 0;
        if (!gGuards[i].tid.compare_exchange_strong(free, self)) continue;
        gGuards[i].lost.store(false);
        gGuards[i].len.store(len);
        gGuards[i].base.store(reinterpret_cast<uintptr_t>(base));
        return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

uint32_t MapBlock(int fd, uint64_t offset, PassedBlock* block, MidiFifo** fifo) {
    // Only a file's memory: a socket, a pipe or a device has none to share,
    // and the block must lie inside the file as it is now.
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || offset % 4 != 0 ||
        offset > static_cast<uint64_t>(st.st_size) ||
        static_cast<uint64_t>(st.st_size) - offset < kFifoBlockBytes)
        return devwire::kStatusInvalidParameter;
    InstallHandler();
    uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    uint64_t base = offset & ~(page - 1);
    size_t len = static_cast<size_t>(offset - base) + kFifoBlockBytes;
    void* map =
        mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(base));
    if (map == MAP_FAILED) return devwire::kStatusInvalidParameter;
    int guard = TakeGuard(map, len);
    if (guard < 0) {
        munmap(map, len);
        return devwire::kStatusUnsuccessful;
    }
    block->map = map;
    block->len = len;
    block->guard = guard;
    *fifo = reinterpret_cast<MidiFifo*>(static_cast<uint8_t*>(map) + (offset - base));
    return devwire::kStatusSuccess;
}

bool BlockLost(const PassedBlock& block) {
    return block.guard >= 0 && gGuards[block.guard].lost.load(std::memory_order_relaxed);
}

void UnmapBlock(PassedBlock* block) {
    if (block->guard >= 0) {
        Guard& g = gGuards[block->guard];
        g.base.store(0);
        g.len.store(0);
        g.tid.store(0, std::memory_order_release);
    }
    if (block->map) munmap(block->map, block->len);
    *block = PassedBlock();
}

}  // namespace sim
