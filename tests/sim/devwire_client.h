// A raw client of one device node, speaking the device connection's messages
// directly (socket, request header, the block's memory passed as a
// descriptor), so the simulated kernel side is exercised on its own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "host/os/devwire.h"
#include "include/kernel_abi.h"

namespace simtest {

// Memory the kernel side can map: a memfd of some pages (or the file at
// path), blocks inside it.
class BlockMemory {
  public:
    explicit BlockMemory(size_t bytes = 4 * kFifoBlockBytes, const std::string& path = "")
        : size_(bytes) {
        fd_ = path.empty() ? memfd_create("vt-test-block", MFD_CLOEXEC)
                           : open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd_ >= 0 && ftruncate(fd_, static_cast<off_t>(bytes)) == 0)
            base_ = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    }
    ~BlockMemory() {
        if (base_ && base_ != MAP_FAILED) munmap(base_, size_);
        if (fd_ >= 0) close(fd_);
    }
    BlockMemory(const BlockMemory&) = delete;
    BlockMemory& operator=(const BlockMemory&) = delete;

    bool ok() const { return fd_ >= 0 && base_ && base_ != MAP_FAILED; }
    // What a hostile peer does: the memory behind the blocks goes away (and
    // must not be touched here any more).
    bool Shrink(size_t bytes) { return ftruncate(fd_, static_cast<off_t>(bytes)) == 0; }
    int fd() const { return fd_; }
    // The block at offset, initialised as the driver does: magic, 24, 1,
    // 1024, both indices at first, empty slots.
    MidiFifo* Init(uint64_t offset, uint32_t index = kFifoFirstSlot) {
        MidiFifo* f = At(offset);
        std::memset(reinterpret_cast<void*>(f), 0, sizeof *f);
        f->dwMagic = MIDI_FIFO_MAGIC;
        f->cbHeader = kFifoHeaderBytes;
        f->cRef = 1;
        f->cdwSize = kFifoWords;
        f->iWrite = f->iRead = index;
        return f;
    }
    MidiFifo* At(uint64_t offset) {
        return reinterpret_cast<MidiFifo*>(static_cast<uint8_t*>(base_) + offset);
    }

  private:
    int fd_ = -1;
    size_t size_;
    void* base_ = nullptr;
};

inline uint32_t Load(const volatile uint32_t& w) {
    return __atomic_load_n(const_cast<const uint32_t*>(&w), __ATOMIC_ACQUIRE);
}
inline void Store(volatile uint32_t& w, uint32_t v) {
    __atomic_store_n(const_cast<uint32_t*>(&w), v, __ATOMIC_RELEASE);
}

// The driver's side of the ring rules, for tests that play the driver.
inline bool Produce(MidiFifo* f, uint32_t packet) {
    uint32_t i = Load(f->iWrite);
    if (Load(FifoSlot(f, i)) != 0) return false;
    Store(FifoSlot(f, i), packet);
    Store(f->iWrite, FifoNextIndex(i, Load(f->cdwSize)));
    return true;
}
inline bool Consume(MidiFifo* f, uint32_t* packet) {
    uint32_t i = Load(f->iRead);
    uint32_t v = Load(FifoSlot(f, i));
    if (!FifoPacketPresent(v)) return false;
    Store(FifoSlot(f, i), 0);
    Store(f->iRead, FifoNextIndex(i, Load(f->cdwSize)));
    *packet = v;
    return true;
}

struct Answer {
    devwire::Reply reply{};
    std::vector<uint8_t> data;
    bool ok = false;  // a message arrived
};

// One connection, like one CreateFileW handle.
class DeviceConnection {
  public:
    DeviceConnection() = default;
    ~DeviceConnection() { Close(); }
    DeviceConnection(const DeviceConnection&) = delete;
    DeviceConnection& operator=(const DeviceConnection&) = delete;

    bool Open(const std::string& root, unsigned node) {
        Close();
        sockaddr_un addr;
        if (!devwire::SocketAddress(devwire::DevicePath(root, node), &addr)) return false;
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return true;
        Close();
        return false;
    }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    // Sends one request; answers its id.
    uint32_t Send(uint32_t code, const void* in, uint32_t cbIn, uint32_t cbOut, int passFd = -1,
                  uint64_t offset = 0) {
        uint32_t id = ++lastId_;
        devwire::Request req{devwire::kRequest,     id,    code, cbIn, cbOut,
                             passFd >= 0 ? 1u : 0u, offset};
        std::vector<uint8_t> buf(sizeof req + cbIn);
        std::memcpy(buf.data(), &req, sizeof req);
        if (cbIn) std::memcpy(buf.data() + sizeof req, in, cbIn);
        std::vector<int> fds;
        if (passFd >= 0) fds.push_back(passFd);
        return SendRaw(buf.data(), buf.size(), fds) ? id : 0;
    }
    // Sends one message of any bytes with any descriptors attached.
    bool SendRaw(const void* data, size_t size, const std::vector<int>& fds = {}) {
        iovec iov{const_cast<void*>(data), size};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        std::vector<char> control;
        devwire::AttachDescriptors(&msg, &control, fds);
        return sendmsg(fd_, &msg, MSG_NOSIGNAL) >= 0;
    }

    // The next message, waiting up to timeoutMs.
    Answer Receive(int timeoutMs = 10000) {
        Answer a;
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) return a;
        uint8_t buf[sizeof(devwire::Reply) + devwire::kMaxPayload];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n < static_cast<ssize_t>(sizeof a.reply)) return a;
        std::memcpy(&a.reply, buf, sizeof a.reply);
        a.data.assign(buf + sizeof a.reply, buf + n);
        a.ok = true;
        return a;
    }

    // Sends a request and answers its first reply; completions that arrive
    // meanwhile are kept for Completions().
    Answer Call(uint32_t code, const void* in = nullptr, uint32_t cbIn = 0, uint32_t cbOut = 0,
                int passFd = -1, uint64_t offset = 0) {
        uint32_t id = Send(code, in, cbIn, cbOut, passFd, offset);
        for (;;) {
            Answer a = Receive();
            if (!a.ok) return a;
            if (a.reply.dwType == devwire::kReplyNow && a.reply.dwId == id) return a;
            later_.push_back(a);
        }
    }

    Answer Start(uint32_t pipe, const BlockMemory& mem, uint64_t offset) {
        StreamStartRequest sr{pipe, kFifoWords, 0};
        return Call(IOCTL_START_STREAM, &sr, sizeof sr, kFifoBlockBytes, mem.fd(), offset);
    }
    Answer Stop(uint32_t cookie) { return Call(IOCTL_STOP_STREAM, &cookie, sizeof cookie); }

    // Every completion the kernel side sent before answering this call: a
    // request it answers at once (an unknown code), so the order on the
    // connection shows that nothing else is on its way.
    std::deque<Answer> Completions() {
        Call(CtlCode(0x8FF, kCtlMethodBuffered));
        std::deque<Answer> out;
        out.swap(later_);
        return out;
    }
    // The next completion, waiting for it.
    Answer NextCompletion(int timeoutMs = 10000) {
        if (!later_.empty()) {
            Answer a = later_.front();
            later_.pop_front();
            return a;
        }
        return Receive(timeoutMs);
    }

    int fd() const { return fd_; }

  private:
    int fd_ = -1;
    uint32_t lastId_ = 0;
    std::deque<Answer> later_;
};

}  // namespace simtest
