// The simulator's control lines: the input is what one peer sends to the
// control socket of a fresh simulator (node 0 plugged, with an input and an
// output stream running on it), in pieces, reading the answers as they come.
// The simulator must neither crash nor hang, and end the connection when the
// peer has sent everything (or after quit).
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/support/fuzz_support.h"
#include "host/os/devwire.h"

namespace {

// A connection the target cannot do without.
int MustConnect(const std::string& path, int type) {
    int fd = fuzz::Connect(path, type);
    if (fd < 0) fuzz::Fail("cannot connect to the simulator");
    return fd;
}

// A blocking call, made again when libFuzzer's timeout alarm interrupts it.
template <typename Call>
ssize_t Restarted(Call call) {
    ssize_t n;
    do {
        n = call();
    } while (n < 0 && errno == EINTR);
    return n;
}

// Streams for the commands to act on: input and output A of node 0, in one
// memfd, with a few packets waiting in the output ring.
struct Streams {
    int device = -1, mem = -1;
    void* base = MAP_FAILED;
    Streams() {
        mem = memfd_create("fuzz-blocks", MFD_CLOEXEC);
        if (mem < 0 || ftruncate(mem, 2 * kFifoBlockBytes) != 0) fuzz::Fail("memfd");
        base = mmap(nullptr, 2 * kFifoBlockBytes, PROT_READ | PROT_WRITE, MAP_SHARED, mem, 0);
        if (base == MAP_FAILED) fuzz::Fail("mmap");
        device = MustConnect(devwire::DevicePath(fuzz::Root(), 0), SOCK_SEQPACKET);
        for (uint32_t i = 0; i < 2; ++i) {
            auto* f =
                reinterpret_cast<MidiFifo*>(static_cast<uint8_t*>(base) + i * kFifoBlockBytes);
            f->dwMagic = MIDI_FIFO_MAGIC;
            f->cbHeader = kFifoHeaderBytes;
            f->cRef = 1;
            f->cdwSize = kFifoWords;
            f->iRead = f->iWrite = kFifoFirstSlot;
            if (i == 1)
                for (uint32_t k = 0; k < 8; ++k)
                    sim::RingPut(f, FifoPacket(0x90 | (k << 8) | (0x40 << 16), 3, 0));
            StreamStartRequest sr{i == 0 ? kPipeIn : kPipeOutA, kFifoWords, 0};
            devwire::Request req{devwire::kRequest, i + 1, IOCTL_START_STREAM, sizeof sr,
                                 kFifoBlockBytes,   1,     i * kFifoBlockBytes};
            uint8_t msg[sizeof req + sizeof sr];
            std::memcpy(msg, &req, sizeof req);
            std::memcpy(msg + sizeof req, &sr, sizeof sr);
            iovec iov{msg, sizeof msg};
            msghdr mh{};
            mh.msg_iov = &iov;
            mh.msg_iovlen = 1;
            devwire::DescriptorSpace space;
            devwire::AttachDescriptor(&mh, &space, mem);
            devwire::Reply reply{};
            ssize_t sent = Restarted([&] { return sendmsg(device, &mh, MSG_NOSIGNAL); });
            ssize_t got =
                sent < 0 ? -1 : Restarted([&] { return recv(device, &reply, sizeof reply, 0); });
            if (got != sizeof reply || reply.fPending != 1) {
                std::fprintf(stderr, "start %u: sent %zd got %zd (%s) status %08X\n", i, sent, got,
                             std::strerror(errno), reply.dwStatus);
                fuzz::Fail("a stream does not start");
            }
        }
    }
    ~Streams() {
        close(device);
        munmap(base, 2 * kFifoBlockBytes);
        close(mem);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FreshServer();
    {
        Streams streams;
        int fd = MustConnect(devwire::ControlPath(fuzz::Root()), SOCK_STREAM | SOCK_NONBLOCK);
        // Sends in pieces of up to 64 bytes while reading every answer; then
        // reads until the simulator ends the connection.
        size_t sent = 0;
        bool shut = false;
        for (;;) {
            // Ten seconds without an answer or room to send is a hang; an
            // alarm that interrupts the wait is not.
            pollfd pfd{fd, static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
            auto quietSince = std::chrono::steady_clock::now();
            int ready;
            do {
                auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - quietSince);
                ready = poll(&pfd, 1, std::max<int>(0, 10000 - static_cast<int>(waited.count())));
            } while (ready < 0 && errno == EINTR);
            if (ready <= 0) {
                // Where every thread is, for the finding.
                std::string gdb = "gdb -batch -p " + std::to_string(getpid()) +
                                  " -ex 'thread apply all bt' >&2 2>/dev/null";
                (void)!system(gdb.c_str());
                fuzz::Fail("the simulator hangs");
            }
            if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
                char buf[65536];
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0 && !(n < 0 && errno == EAGAIN)) break;
            }
            if (!shut && (pfd.revents & POLLOUT)) {
                size_t piece = std::min<size_t>(size - sent, 1 + (sent * 7 + size) % 64);
                ssize_t n = piece ? send(fd, data + sent, piece, MSG_NOSIGNAL) : 0;
                if (n > 0) sent += static_cast<size_t>(n);
                if (sent == size || n < 0) {
                    shutdown(fd, SHUT_WR);
                    shut = true;
                }
            }
        }
        close(fd);
    }
    return 0;
}
