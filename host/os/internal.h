// Private to host/os: the kernel objects behind handles, the process-wide
// handle table, the registry of host mappings and the files of named objects
// under the root. Nothing outside this folder includes it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "host/os/host.h"
#include "host/os/win32.h"

namespace vthost {

// Something a handle refers to. The table holds objects by reference count,
// so an object outlives its handle while anything else (a pending request,
// a waiting thread) still holds it.
class Object {
  public:
    virtual ~Object() = default;
    // WaitForSingleObject on this object: WAIT_OBJECT_0, WAIT_ABANDONED,
    // WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
    virtual DWORD Wait(DWORD dwMilliseconds);
    // Called when CloseHandle removes a handle of this object from the table,
    // before the table's reference is dropped.
    virtual void OnHandleClosed() {}
};

// A process-private event, auto- or manual-reset.
class Event : public Object {
  public:
    Event(bool fManualReset, bool fInitialState)
        : manual_(fManualReset), set_(fInitialState), signaled_(fInitialState) {}
    DWORD Wait(DWORD dwMilliseconds) override;
    // Waits until stop, asked under the event's lock whenever the event may
    // have changed (whether it is set) and before every sleep, answers true:
    // WAIT_OBJECT_0 when it was set (an auto-reset event is reset then),
    // WAIT_TIMEOUT otherwise. stop sets the sleep's deadline
    // (time_point::max() for none); Poke makes the sleeper ask again.
    DWORD WaitUntil(
        const std::function<bool(bool fSet, std::chrono::steady_clock::time_point*)>& stop);
    // Whether it is set now; for a caller that cannot take the event's lock.
    bool Signaled() const { return signaled_.load(); }
    void Poke();
    void Set();
    void Reset();

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool manual_;
    bool set_;
    std::atomic<bool> signaled_{false};  // set_, written under m_ with it
};

// The memory of a mutex (named_mutex.cpp). Mapped for the rest of the
// process once made, so a pointer to it never dangles.
struct SharedMutex;
// Wait on and release such a mutex: WaitForSingleObject's answers (with the
// last error set on WAIT_FAILED); false when the caller does not own it.
DWORD WaitSharedMutex(SharedMutex* p, DWORD dwMilliseconds);
bool ReleaseSharedMutex(SharedMutex* p);
// Requests to the kernel side wait for another process, so none may be made
// while the calling thread holds a mutex that other processes wait for. With
// VT_HOST_FORBID_IO_UNDER_MUTEX set in the environment (the tests set it),
// a device call made while the thread holds one says so and aborts.
void CheckNoMutexHeld(const char* pszCall);

// The handle table. Handles are small non-zero multiples of 4, never
// INVALID_HANDLE_VALUE. Lookup answers an empty pointer for a handle that is
// not live.
//
// The lock is the hot path of the driver, so a mutex handle is also found
// without the table's lock: AddHandle given pMutex publishes it beside the
// slot, CloseHandle withdraws it (under the table's lock, before the slot can
// be reused), and MutexOfHandle reads it with one atomic load. Null when h
// is no live mutex handle, or one of the rare slots beyond the lock-free
// range (callers then take the general lookup).
HANDLE AddHandle(std::shared_ptr<Object> object, SharedMutex* pMutex = nullptr);
std::shared_ptr<Object> LookupHandle(HANDLE h);
SharedMutex* MutexOfHandle(HANDLE h);
template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE h) {
    return std::dynamic_pointer_cast<T>(LookupHandle(h));
}
// LookupHandleAs for the Win32 calls that take a handle of one kind: when h
// is none of that kind, sets ERROR_INVALID_HANDLE as the last error (and the
// caller answers its failure).
template <typename T>
std::shared_ptr<T> HandleOfKind(HANDLE h) {
    std::shared_ptr<T> p = LookupHandleAs<T>(h);
    if (!p) SetLastError(ERROR_INVALID_HANDLE);
    return p;
}

// Mappings the host made, so out-direct requests can hand the kernel side
// the memory itself. fd stays open for the life of the mapping.
void RegisterMapping(void* p, size_t cb, int fd);

// <root>/obj, created on first use; empty when the root is unusable.
const std::string& ObjectDir();
// A name (of any characters) turned into one safe file name component.
std::string SafeFileName(const std::string& prefix, const std::u16string& name);

// A named object file under <root>/obj with its companion files:
//   <file>.init  held exclusively while a process sets the object up,
//   <file>.users held shared by every live user for as long as it lives.
// Open() answers whether this process found no other live user (so the
// object must be made afresh); the caller sets it up, then calls Ready().
// The last live user to end normally removes the three files; what a killed
// one leaves is taken over afresh by the next user.
class NamedObjectFile {
  public:
    NamedObjectFile() = default;
    ~NamedObjectFile();
    NamedObjectFile(const NamedObjectFile&) = delete;
    NamedObjectFile& operator=(const NamedObjectFile&) = delete;

    // False when the files cannot be made. On success the init lock is held
    // until Ready(), and *pfFresh tells whether no other live user exists.
    bool Open(const std::string& path, bool* pfFresh);
    // Becomes a live user and lets the next process in.
    void Ready();
    int fd() const { return fd_; }
    // Hand the descriptor over (it then lives with the mapping).
    int ReleaseFd() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // At the end of the process: removes the files when no other process
    // uses the object any more.
    void RemoveIfLastUser();

  private:
    std::string path_;
    int fd_ = -1;
    int init_ = -1;
    int users_ = -1;
};

// Keeps a user's files open for the rest of the process: its shared flock
// marks the process as a live user for as long as it lives. At exit the
// files of objects nobody else uses are removed.
void KeepForever(std::unique_ptr<NamedObjectFile> file);

// Wraps a connected device socket in the object behind a CreateFileW handle
// and hands it to the I/O thread (device_io.cpp). Takes the descriptor even
// on failure (null).
std::shared_ptr<Object> ConnectDevice(int fd);

}  // namespace vthost
