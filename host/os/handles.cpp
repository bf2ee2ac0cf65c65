// The process-wide handle table, CloseHandle, WaitForSingleObject and the
// handle count. Handle values are (slot + 1) * 4, so they are small, never 0
// and never INVALID_HANDLE_VALUE; freed slots are reused lowest first.
#include <atomic>
#include <mutex>
#include <vector>

#include "host/os/internal.h"

namespace vthost {
namespace {

// Slots whose mutex, if any, is found without the lock: far more handles than
// a process of this kind holds at once.
constexpr size_t kLockFreeSlots = 1024;

struct HandleTable {
    std::mutex m;
    std::vector<std::shared_ptr<Object>> slots;
    size_t live = 0;
    // The mutex memory of each live mutex handle's slot, null otherwise.
    // Written under m, read without it.
    std::atomic<SharedMutex*> mutexes[kLockFreeSlots] = {};
};

// Leaked: the I/O and timer threads may still use it while the process exits.
HandleTable& Table() {
    static HandleTable* table = new HandleTable;
    return *table;
}

bool SlotOf(HANDLE h, size_t* pSlot) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if (v == 0 || (v & 3) != 0) return false;
    *pSlot = v / 4 - 1;
    return true;
}

}  // namespace

DWORD Object::Wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

HANDLE AddHandle(std::shared_ptr<Object> object, SharedMutex* pMutex) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.m);
    size_t slot = 0;
    while (slot < t.slots.size() && t.slots[slot])
        ++slot;
    if (slot == t.slots.size()) t.slots.emplace_back();
    t.slots[slot] = std::move(object);
    ++t.live;
    if (pMutex && slot < kLockFreeSlots) t.mutexes[slot].store(pMutex, std::memory_order_release);
    return reinterpret_cast<HANDLE>((slot + 1) * 4);
}

SharedMutex* MutexOfHandle(HANDLE h) {
    size_t slot;
    if (!SlotOf(h, &slot) || slot >= kLockFreeSlots) return nullptr;
    return Table().mutexes[slot].load(std::memory_order_acquire);
}

std::shared_ptr<Object> LookupHandle(HANDLE h) {
    size_t slot;
    if (!SlotOf(h, &slot)) return nullptr;
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.m);
    if (slot >= t.slots.size()) return nullptr;
    return t.slots[slot];
}

}  // namespace vthost

using namespace vthost;

extern "C" {

BOOL WINAPI CloseHandle(HANDLE hObject) {
    std::shared_ptr<Object> object;
    size_t slot;
    if (SlotOf(hObject, &slot)) {
        HandleTable& t = Table();
        std::lock_guard<std::mutex> lock(t.m);
        if (slot < t.slots.size() && t.slots[slot]) {
            object = std::move(t.slots[slot]);
            t.slots[slot].reset();
            --t.live;
            if (slot < kLockFreeSlots) t.mutexes[slot].store(nullptr, std::memory_order_release);
        }
    }
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Outside the table lock: closing a device completes its requests, which
    // signals events through the table's objects.
    object->OnHandleClosed();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (SharedMutex* p = MutexOfHandle(hHandle)) return WaitSharedMutex(p, dwMilliseconds);
    std::shared_ptr<Object> object = HandleOfKind<Object>(hHandle);
    if (!object) return WAIT_FAILED;
    return object->Wait(dwMilliseconds);
}

DWORD VtHostHandleCount(void) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> lock(t.m);
    return static_cast<DWORD>(t.live);
}

}  // extern "C"
