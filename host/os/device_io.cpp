// Device connections and DeviceIoControl. Each CreateFileW handle of a device
// is one SOCK_SEQPACKET connection to the kernel side (message format in
// devwire.h). One I/O thread per process, started with the first connection,
// is the only reader of every connection: it hands each kReplyNow to the
// thread waiting in DeviceIoControl and finishes pending requests on
// kReplyLater, on CloseHandle and when the kernel side goes away.
//
// Locking: each connection's mutex guards its requests and is held while a
// reply is read and applied; the I/O thread's registry lock is taken inside
// it (never the other way round), and events are set under it.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <system_error>
#include <thread>

#include "host/os/devwire.h"
#include "host/os/internal.h"

namespace vthost {
namespace {

DWORD Win32ErrorOf(uint32_t status) {
    switch (status) {
        case devwire::kStatusSuccess:
            return ERROR_SUCCESS;
        case devwire::kStatusCancelled:
            return ERROR_OPERATION_ABORTED;
        case devwire::kStatusInvalidDeviceRequest:
            return ERROR_INVALID_FUNCTION;
        case devwire::kStatusInvalidParameter:
            return ERROR_INVALID_PARAMETER;
        case devwire::kStatusBufferTooSmall:
            return ERROR_INSUFFICIENT_BUFFER;
        case devwire::kStatusDeviceNotConnected:
            return ERROR_DEVICE_NOT_CONNECTED;
        case devwire::kStatusDeviceBusy:
            return ERROR_BUSY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// The status word of an OVERLAPPED, written last: HasOverlappedIoCompleted
// may read it on another thread at any time.
void SetStatus(LPOVERLAPPED pOvl, uint32_t dwStatus) {
    __atomic_store_n(&pOvl->Internal, static_cast<ULONG_PTR>(dwStatus), __ATOMIC_RELEASE);
}

// One DeviceIoControl in flight.
struct Call {
    enum State { kWaitNow, kPending, kDone };
    State state = kWaitNow;
    bool fWentPending = false;
    uint32_t dwStatus = 0;
    uint32_t cbReturned = 0;
    BYTE* pOut = nullptr;  // the caller's buffer, for buffered output
    uint32_t cbOut = 0;
    bool fDirect = false;
    LPOVERLAPPED pOvl = nullptr;
    std::shared_ptr<Event> event;  // the event hEvent held at issue
};

class Device;

struct IoThread {
    std::mutex m;
    int epfd = -1;
    bool started = false;
    uint64_t nextKey = 1;
    std::map<uint64_t, std::weak_ptr<Device>> devices;
};

// Leaked: the I/O thread may still run while the process exits.
IoThread& Io() {
    static IoThread* io = new IoThread;
    return *io;
}

void IoThreadMain();

class Device : public Object {
  public:
    explicit Device(int fd) : fd_(fd) {}
    ~Device() override {
        if (fd_ >= 0) close(fd_);
    }

    bool Attach(const std::shared_ptr<Device>& self);
    void OnHandleClosed() override;
    BOOL Control(DWORD dwCode, LPVOID pIn, DWORD cbIn, LPVOID pOut, DWORD cbOut,
                 LPDWORD pcbReturned, LPOVERLAPPED pOvl);
    // I/O thread: read and apply every reply waiting on the connection.
    void OnReadable();

  private:
    void DetachLocked();
    void CancelAllLocked();
    void ApplyLocked(const devwire::Reply& reply, const BYTE* pPayload, size_t cbPayload);
    void FinishLocked(uint32_t id, Call& call, uint32_t dwStatus, uint32_t cb);

    std::mutex m_;
    std::condition_variable cv_;
    int fd_;            // -1 once its handle is closed
    int cSenders_ = 0;  // threads sending on fd_ without holding the lock
    uint64_t key_ = 0;
    bool fClosed_ = false;        // its handle was closed
    bool fDisconnected_ = false;  // no more requests: closed, or the kernel side left
    uint32_t nextId_ = 1;
    std::map<uint32_t, std::shared_ptr<Call>> calls_;
};

bool Device::Attach(const std::shared_ptr<Device>& self) {
    IoThread& io = Io();
    std::lock_guard<std::mutex> lock(io.m);
    if (!io.started) {
        io.epfd = epoll_create1(EPOLL_CLOEXEC);
        if (io.epfd < 0) return false;
        try {
            std::thread(IoThreadMain).detach();
        } catch (const std::system_error&) {
            close(io.epfd);
            io.epfd = -1;
            return false;
        }
        io.started = true;
    }
    key_ = io.nextKey++;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = key_;
    if (epoll_ctl(io.epfd, EPOLL_CTL_ADD, fd_, &ev) != 0) return false;
    io.devices[key_] = self;
    return true;
}

void Device::DetachLocked() {
    IoThread& io = Io();
    std::lock_guard<std::mutex> lock(io.m);
    epoll_ctl(io.epfd, EPOLL_CTL_DEL, fd_, nullptr);
    io.devices.erase(key_);
}

void Device::FinishLocked(uint32_t id, Call& call, uint32_t dwStatus, uint32_t cb) {
    call.dwStatus = dwStatus;
    call.cbReturned = cb;
    if (call.fWentPending && call.pOvl) {
        // The caller returned long ago with ERROR_IO_PENDING; it learns the
        // result from the OVERLAPPED and the event.
        call.pOvl->InternalHigh = cb;
        SetStatus(call.pOvl, dwStatus);
        if (call.event) call.event->Set();
    }
    call.state = Call::kDone;
    calls_.erase(id);
    cv_.notify_all();
}

void Device::CancelAllLocked() {
    while (!calls_.empty()) {
        auto it = calls_.begin();
        std::shared_ptr<Call> call = it->second;
        FinishLocked(it->first, *call, devwire::kStatusCancelled, 0);
    }
}

void Device::OnHandleClosed() {
    std::lock_guard<std::mutex> lock(m_);
    if (fClosed_) return;
    fClosed_ = true;
    if (!fDisconnected_) {
        fDisconnected_ = true;
        DetachLocked();
    }
    // Shutting down tells the kernel side at once. The descriptor is closed
    // now unless a sender still uses it (the last one then closes it), so its
    // number can never be reused under a send.
    shutdown(fd_, SHUT_RDWR);
    if (cSenders_ == 0) {
        close(fd_);
        fd_ = -1;
    }
    CancelAllLocked();
}

void Device::ApplyLocked(const devwire::Reply& reply, const BYTE* pPayload, size_t cbPayload) {
    auto it = calls_.find(reply.dwId);
    if (it == calls_.end()) return;  // not ours, or already cancelled
    std::shared_ptr<Call> call = it->second;
    bool fNow = reply.dwType == devwire::kReplyNow && call->state == Call::kWaitNow;
    bool fLater = reply.dwType == devwire::kReplyLater && call->state == Call::kPending;
    if (!fNow && !fLater) return;  // out of order: ignore rather than guess
    if (fNow && reply.fPending) {
        call->state = Call::kPending;
        call->fWentPending = true;
        cv_.notify_all();
        return;
    }
    // Never more than the caller's buffer holds, nor more than was sent.
    uint32_t cb = std::min<uint32_t>(reply.cbReturned, call->cbOut);
    if (!call->fDirect) {
        cb = static_cast<uint32_t>(std::min<size_t>(cb, cbPayload));
        if (cb) std::memcpy(call->pOut, pPayload, cb);
    }
    FinishLocked(reply.dwId, *call, reply.dwStatus, cb);
}

void Device::OnReadable() {
    alignas(devwire::Reply) BYTE buf[sizeof(devwire::Reply) + devwire::kMaxPayload];
    std::lock_guard<std::mutex> lock(m_);
    while (!fDisconnected_) {
        devwire::Received got = devwire::ReceiveMessage(fd_, buf, sizeof buf, MSG_DONTWAIT);
        ssize_t n = got.cb;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // Descriptors have no business in a reply: never keep any.
        for (int fd : got.fds)
            close(fd);
        if (n <= 0) {
            // The kernel side closed the connection (or it failed): whatever
            // was pending on it is over, and nothing more can be asked.
            fDisconnected_ = true;
            DetachLocked();
            CancelAllLocked();
            return;
        }
        if (static_cast<size_t>(n) < sizeof(devwire::Reply) || (got.flags & MSG_TRUNC))
            continue;  // malformed: drop it
        devwire::Reply reply;
        std::memcpy(&reply, buf, sizeof reply);
        ApplyLocked(reply, buf + sizeof reply, static_cast<size_t>(n) - sizeof reply);
    }
}

BOOL Device::Control(DWORD dwCode, LPVOID pIn, DWORD cbIn, LPVOID pOut, DWORD cbOut,
                     LPDWORD pcbReturned, LPOVERLAPPED pOvl) {
    if (cbIn > devwire::kMaxPayload || (cbIn && !pIn) || (cbOut && !pOut)) {
        SetLastError(cbIn > devwire::kMaxPayload || (cbIn && !pIn) ? ERROR_INVALID_PARAMETER
                                                                   : ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    devwire::Request req{};
    req.dwType = devwire::kRequest;
    req.dwCode = dwCode;
    req.cbIn = cbIn;
    req.cbOut = cbOut;
    int fdMap = -1;
    bool fDirect = (dwCode & 3) == 2 && cbOut > 0;
    if (fDirect) {
        uint64_t offset = 0;
        if (!VtHostFindMapping(pOut, cbOut, &fdMap, &offset)) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        req.fDirect = 1;
        req.qwOffset = offset;
    }
    std::shared_ptr<Event> event;
    if (pOvl && pOvl->hEvent) {
        event = HandleOfKind<Event>(pOvl->hEvent);
        if (!event) return FALSE;
    }

    auto call = std::make_shared<Call>();
    call->pOut = static_cast<BYTE*>(pOut);
    call->cbOut = cbOut;
    call->fDirect = fDirect;
    call->pOvl = pOvl;
    call->event = event;
    {
        std::lock_guard<std::mutex> lock(m_);
        if (fDisconnected_) {
            SetLastError(fClosed_ ? ERROR_INVALID_HANDLE : ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        while (nextId_ == 0 || calls_.count(nextId_))
            ++nextId_;
        req.dwId = nextId_++;
        calls_[req.dwId] = call;
        ++cSenders_;
        if (pOvl) {
            // As on Windows: the request is in progress until it says
            // otherwise, and its event is not signalled before it completes.
            pOvl->InternalHigh = 0;
            SetStatus(pOvl, STATUS_PENDING);
            if (event) event->Reset();
        }
    }

    iovec iov[2] = {{&req, sizeof req}, {pIn, cbIn}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = cbIn ? 2 : 1;
    devwire::DescriptorSpace control;
    if (fDirect) devwire::AttachDescriptor(&msg, &control, fdMap);
    ssize_t sent;
    do
        sent = sendmsg(fd_, &msg, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);

    std::unique_lock<std::mutex> lock(m_);
    if (--cSenders_ == 0 && fClosed_ && fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (sent < 0 && call->state != Call::kDone) {
        calls_.erase(req.dwId);
        if (pOvl) SetStatus(pOvl, devwire::kStatusDeviceNotConnected);
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    cv_.wait(lock, [&] { return call->state != Call::kWaitNow; });
    if (call->fWentPending && pOvl) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    cv_.wait(lock, [&] { return call->state == Call::kDone; });
    if (pOvl) {
        pOvl->InternalHigh = call->cbReturned;
        SetStatus(pOvl, call->dwStatus);
    }
    if (call->dwStatus != devwire::kStatusSuccess) {
        SetLastError(Win32ErrorOf(call->dwStatus));
        return FALSE;
    }
    if (pcbReturned) *pcbReturned = call->cbReturned;
    if (event) event->Set();
    return TRUE;
}

void IoThreadMain() {
    IoThread& io = Io();
    epoll_event events[16];
    for (;;) {
        int n = epoll_wait(io.epfd, events, 16, -1);
        if (n < 0) continue;  // EINTR
        for (int i = 0; i < n; ++i) {
            // epoll_event is packed: its data is read out, never bound to
            // (a reference to it may be misaligned).
            uint64_t key = events[i].data.u64;
            std::shared_ptr<Device> device;
            {
                std::lock_guard<std::mutex> lock(io.m);
                auto it = io.devices.find(key);
                if (it != io.devices.end()) device = it->second.lock();
            }
            if (device) device->OnReadable();
        }
    }
}

}  // namespace

std::shared_ptr<Object> ConnectDevice(int fd) {
    auto device = std::make_shared<Device>(fd);
    if (!device->Attach(device)) return nullptr;
    return device;
}

}  // namespace vthost

using namespace vthost;

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped) {
    CheckNoMutexHeld("DeviceIoControl");
    auto device = HandleOfKind<Device>(hDevice);
    if (!device) return FALSE;
    return device->Control(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                           lpBytesReturned, lpOverlapped);
}
