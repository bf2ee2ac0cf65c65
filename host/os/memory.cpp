// Process heap: LocalAlloc and LocalFree, with failure injection for tests.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "host/os/host.h"

namespace {
std::atomic<DWORD> gcFailAllocs{0};

// Takes one injected failure if any is left.
bool TakeInjectedFailure() {
    DWORD c = gcFailAllocs.load();
    while (c > 0)
        if (gcFailAllocs.compare_exchange_weak(c, c - 1)) return true;
    return false;
}
}  // namespace

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (TakeInjectedFailure()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Windows hands out a usable block even for 0 bytes.
    size_t cb = uBytes ? uBytes : 1;
    void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, cb) : std::malloc(cb);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

void VtHostFailAllocs(DWORD cFailures) {
    gcFailAllocs.store(cFailures);
}

}  // extern "C"
