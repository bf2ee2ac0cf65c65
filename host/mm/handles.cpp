// The table of open MIDI handles: what makes a handle valid.
#include <mutex>
#include <new>
#include <unordered_set>

#include "host/mm/layer.h"

namespace vtmm {
namespace {

// Guards the set only; never held while the driver runs.
std::mutex gMutex;
std::unordered_set<const void*>& Table() {
    static auto* table = new std::unordered_set<const void*>;  // outlives exit-time users
    return *table;
}

}  // namespace

Handle* NewHandle(uint32_t dwMagic, UINT uDeviceID) {
    Handle* p = new (std::nothrow) Handle{dwMagic, uDeviceID, 0};
    if (!p) return nullptr;
    std::lock_guard<std::mutex> lock(gMutex);
    try {
        Table().insert(p);
    } catch (const std::bad_alloc&) {
        delete p;
        return nullptr;
    }
    return p;
}

void DeleteHandle(Handle* pHandle) {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        Table().erase(pHandle);
    }
    pHandle->dwMagic = 0;
    delete pHandle;
}

Handle* FindHandle(const void* h, uint32_t dwMagic) {
    if (!h) return nullptr;
    std::lock_guard<std::mutex> lock(gMutex);
    if (!Table().count(h)) return nullptr;
    // Only registered addresses are read, so a stale or foreign value is
    // refused without being touched.
    Handle* p = static_cast<Handle*>(const_cast<void*>(h));
    return p->dwMagic == dwMagic ? p : nullptr;
}

UINT OpenHandleCount() {
    std::lock_guard<std::mutex> lock(gMutex);
    return static_cast<UINT>(Table().size());
}

}  // namespace vtmm
