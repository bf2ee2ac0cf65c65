// Process-private events: CreateEventW, SetEvent, ResetEvent and their wait.
#include <chrono>

#include "host/os/internal.h"

namespace vthost {

DWORD Event::Wait(DWORD dwMilliseconds) {
    std::unique_lock<std::mutex> lock(m_);
    if (dwMilliseconds == INFINITE) {
        cv_.wait(lock, [this] { return set_; });
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(dwMilliseconds),
                             [this] { return set_; })) {
        return WAIT_TIMEOUT;
    }
    // An auto-reset event lets exactly one waiter through per Set.
    if (!manual_) set_ = signaled_ = false;
    return WAIT_OBJECT_0;
}

DWORD Event::WaitUntil(
    const std::function<bool(bool fSet, std::chrono::steady_clock::time_point*)>& stop) {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        auto deadline = std::chrono::steady_clock::time_point::max();
        if (stop(set_, &deadline)) {
            if (!set_) return WAIT_TIMEOUT;
            if (!manual_) set_ = signaled_ = false;
            return WAIT_OBJECT_0;
        }
        if (deadline == std::chrono::steady_clock::time_point::max())
            cv_.wait(lock);
        else
            cv_.wait_until(lock, deadline);
    }
}

void Event::Poke() {
    std::lock_guard<std::mutex> lock(m_);
    cv_.notify_all();
}

void Event::Set() {
    std::lock_guard<std::mutex> lock(m_);
    set_ = signaled_ = true;
    if (manual_)
        cv_.notify_all();
    else
        cv_.notify_one();
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(m_);
    set_ = signaled_ = false;
}

}  // namespace vthost

using namespace vthost;

extern "C" {

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName) {
    return VtHostCreateEvent16(lpEventAttributes, bManualReset, bInitialState, lpName);
}

HANDLE VtHostCreateEvent16(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           const VT_CHAR16* lpName) {
    if (lpName != nullptr && *lpName != 0) {
        // Named events are not part of this subset.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return AddHandle(std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    auto event = HandleOfKind<Event>(hEvent);
    if (!event) return FALSE;
    event->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto event = HandleOfKind<Event>(hEvent);
    if (!event) return FALSE;
    event->Reset();
    return TRUE;
}

}  // extern "C"
