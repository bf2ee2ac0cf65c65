// The kernel transport driver's side of a device node: plug and unplug, the
// four control requests, and the life of a pending start request from the
// cookie written into its block to its completion.
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/server_state.h"

namespace sim {
namespace {

void Reply(DeviceConn& conn, uint32_t type, uint32_t id, bool pending, uint32_t status,
           const void* data = nullptr, uint32_t size = 0) {
    devwire::Reply r{type, id, pending ? 1u : 0u, status, size, 0};
    std::string message(reinterpret_cast<const char*>(&r), sizeof r);
    if (size) message.append(static_cast<const char*>(data), size);
    SendToDevice(conn, std::move(message));
}

void ReplyNow(DeviceConn& conn, uint32_t id, uint32_t status, const void* data = nullptr,
              uint32_t size = 0) {
    Reply(conn, devwire::kReplyNow, id, false, status, data, size);
}

// Unique per server, never 0 and never the magic: multiplying a counter by an
// odd constant is a bijection on 32 bits, so no value comes back before 2^32
// starts.
uint32_t NextCookie(State& s) {
    for (;;) {
        uint32_t c = (++s.cookieSerial * 0x9E3779B1u) ^ 0x5A17C0DEu;
        if (c != 0 && c != MIDI_FIFO_MAGIC) return c;
    }
}

void Unmap(Stream& st) {
    UnmapBlock(&st.block);
    st.fifo = nullptr;
}

}  // namespace

void EndStream(Node& n, Stream* st, uint32_t status, bool answer) {
    if (st->fifo)
        __atomic_store_n(const_cast<uint32_t*>(&st->fifo->dwMagic), MIDI_FIFO_MAGIC,
                         __ATOMIC_RELEASE);
    if (answer && st->conn) Reply(*st->conn, devwire::kReplyLater, st->requestId, false, status);
    Unmap(*st);
    for (auto& o : n.out)
        if (o.stream.get() == st) {
            o.stream.reset();
            return;
        }
    for (size_t i = 0; i < n.in.size(); ++i)
        if (n.in[i].get() == st) {
            n.in.erase(n.in.begin() + static_cast<long>(i));
            return;
        }
}

namespace {

Stream* FindCookie(Node& n, uint32_t cookie) {
    for (auto& o : n.out)
        if (o.stream && o.stream->cookie == cookie) return o.stream.get();
    for (auto& st : n.in)
        if (st->cookie == cookie) return st.get();
    return nullptr;
}

void Descriptor(Node& n, DeviceConn& conn, const devwire::Request& req) {
    ++n.stats.descriptor;
    if (req.cbOut < kUsbDeviceDescriptorBytes) {
        ReplyNow(conn, req.dwId, devwire::kStatusBufferTooSmall);
        return;
    }
    uint16_t vendor = n.vendor;
    if (n.faults.wrongVendor) {
        --n.faults.wrongVendor;
        vendor = static_cast<uint16_t>(vendor ^ 0x5A5A);
    }
    uint32_t size = kUsbDeviceDescriptorBytes;
    if (n.faults.descriptorShort) {
        --n.faults.descriptorShort;
        size -= 1;
    }
    const uint8_t d[kUsbDeviceDescriptorBytes] = {
        18,    // bLength
        1,     // bDescriptorType: device
        0x00,  // bcdUSB 2.00
        0x02,
        0,   // bDeviceClass: by interface (audio / MIDI streaming)
        0,   // bDeviceSubClass
        0,   // bDeviceProtocol
        64,  // bMaxPacketSize0
        static_cast<uint8_t>(vendor),
        static_cast<uint8_t>(vendor >> 8),
        static_cast<uint8_t>(n.product),
        static_cast<uint8_t>(n.product >> 8),
        0x00,  // bcdDevice 1.00
        0x01,
        1,  // iManufacturer
        2,  // iProduct
        3,  // iSerialNumber
        1,  // bNumConfigurations
    };
    ReplyNow(conn, req.dwId, devwire::kStatusSuccess, d, size);
}

void Start(State& s, Node& n, DeviceConn& conn, const devwire::Request& req, const uint8_t* in,
           int fd) {
    auto fail = [&](uint32_t status) {
        if (fd >= 0) close(fd);
        ReplyNow(conn, req.dwId, status);
    };
    StreamStartRequest sr{};
    if (req.cbIn != sizeof sr) return fail(devwire::kStatusInvalidParameter);
    std::memcpy(&sr, in, sizeof sr);
    if ((sr.dwPipe != kPipeOutA && sr.dwPipe != kPipeOutB && sr.dwPipe != kPipeIn) ||
        sr.cdwBlock != kFifoWords)
        return fail(devwire::kStatusInvalidParameter);
    if (!req.fDirect || fd < 0) return fail(devwire::kStatusInvalidParameter);
    if (req.cbOut < kFifoBlockBytes) return fail(devwire::kStatusBufferTooSmall);
    OutputPort* out = sr.dwPipe == kPipeOutA   ? &n.out[0]
                      : sr.dwPipe == kPipeOutB ? &n.out[1]
                                               : nullptr;
    // One stream per output; input streams up to a bound, so that no peer
    // can spend every mapping the server may make.
    if (out ? out->stream != nullptr : n.in.size() >= kMaxInputStreams) {
        ++n.stats.refused;
        return fail(devwire::kStatusDeviceBusy);
    }
    PassedBlock block;
    MidiFifo* fifo = nullptr;
    uint32_t mapped = MapBlock(fd, req.qwOffset, &block, &fifo);
    close(fd);
    fd = -1;
    if (mapped != devwire::kStatusSuccess) return fail(mapped);

    auto stream = std::make_unique<Stream>();
    stream->pipe = sr.dwPipe;
    stream->conn = &conn;
    stream->requestId = req.dwId;
    stream->block = block;
    stream->fifo = fifo;
    stream->cookie = NextCookie(s);
    if (sr.dwPipe == kPipeOutA) ++n.stats.startOutA;
    if (sr.dwPipe == kPipeOutB) ++n.stats.startOutB;
    if (sr.dwPipe == kPipeIn) ++n.stats.startIn;

    bool writeCookie = true;
    if (n.faults.startNoCookie) {
        --n.faults.startNoCookie;
        writeCookie = false;
    }
    if (writeCookie)
        __atomic_store_n(const_cast<uint32_t*>(&stream->fifo->dwMagic), stream->cookie,
                         __ATOMIC_RELEASE);
    if (n.faults.startImmediate) {
        // A kernel side that finishes the start at once: the block was never
        // streamed.
        --n.faults.startImmediate;
        Unmap(*stream);
        ReplyNow(conn, req.dwId, devwire::kStatusSuccess);
        return;
    }
    if (out) {
        out->wireFreeAt = 0;
        out->idle = true;
        out->lastTakenAt = -1;
        out->stream = std::move(stream);
    } else {
        n.in.push_back(std::move(stream));
    }
    Reply(conn, devwire::kReplyNow, req.dwId, true, devwire::kStatusSuccess);
}

void Stop(Node& n, DeviceConn& conn, const devwire::Request& req, const uint8_t* in) {
    uint32_t cookie = 0;
    if (req.cbIn != sizeof cookie) {
        ReplyNow(conn, req.dwId, devwire::kStatusInvalidParameter);
        return;
    }
    std::memcpy(&cookie, in, sizeof cookie);
    ReplyNow(conn, req.dwId, devwire::kStatusSuccess);
    Stream* st = FindCookie(n, cookie);
    if (!st || st->stopping) return;
    ++n.stats.stop;
    // An output stream first sends what its ring still holds (the pump ends
    // it); an input stream has nothing to finish.
    if (st->pipe == kPipeIn) return EndStream(n, st, devwire::kStatusSuccess, true);
    st->stopping = true;
    st->stopBy = NowUs() + kStopSendBoundUs;
}

}  // namespace

bool PlugNode(State& s, unsigned index, uint16_t vendor, uint16_t product, std::string* error) {
    Node& n = s.nodes[index];
    std::string path = devwire::DevicePath(s.root, index);
    sockaddr_un addr;
    if (!devwire::SocketAddress(path, &addr)) {
        *error = "socket path too long: " + path;
        return false;
    }
    unlink(path.c_str());  // a socket left by a server that died
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 64) != 0) {
        *error = "cannot serve " + path + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    epoll_ctl(s.epollFd, EPOLL_CTL_ADD, fd, &ev);
    uint64_t generation = n.generation;
    n = Node();  // a fresh interface: counters, faults and buffers start over
    n.index = index;
    n.generation = generation;
    n.listenFd = fd;
    n.plugged = true;
    n.vendor = vendor;
    n.product = product;
    n.rate = s.options.rate;
    n.loopback = s.options.loopback;
    return true;
}

void UnplugNode(State& s, unsigned index) {
    Node& n = s.nodes[index];
    if (!n.plugged) return;
    for (auto& o : n.out)
        if (o.stream) EndStream(n, o.stream.get(), devwire::kStatusDeviceNotConnected, true);
    while (!n.in.empty())
        EndStream(n, n.in.back().get(), devwire::kStatusDeviceNotConnected, true);
    epoll_ctl(s.epollFd, EPOLL_CTL_DEL, n.listenFd, nullptr);
    close(n.listenFd);
    unlink(devwire::DevicePath(s.root, index).c_str());
    n.listenFd = -1;
    n.plugged = false;
    ++n.generation;
}

void HandleRequest(State& s, DeviceConn& conn, const devwire::Request& req, const uint8_t* in,
                   int fd) {
    Node& n = s.nodes[conn.node];
    // A handle opened before an unplug stays dead, even if the node comes back.
    if (!n.plugged || n.generation != conn.generation) {
        if (fd >= 0) close(fd);
        ReplyNow(conn, req.dwId, devwire::kStatusDeviceNotConnected);
        return;
    }
    if (req.dwCode == IOCTL_START_STREAM) return Start(s, n, conn, req, in, fd);
    if (fd >= 0) close(fd);
    switch (req.dwCode) {
        case IOCTL_GET_DEVICE_DESCRIPTOR:
            return Descriptor(n, conn, req);
        case IOCTL_FIRST_ACQUIRE:
            ++n.stats.firstAcquire;
            return ReplyNow(conn, req.dwId, devwire::kStatusSuccess);
        case IOCTL_STOP_STREAM:
            return Stop(n, conn, req, in);
        default:
            return ReplyNow(conn, req.dwId, devwire::kStatusInvalidDeviceRequest);
    }
}

void EndLostStreams(State& s) {
    for (Node& n : s.nodes) {
        for (auto& o : n.out)
            if (o.stream && BlockLost(o.stream->block))
                EndStream(n, o.stream.get(), devwire::kStatusUnsuccessful, true);
        for (size_t i = n.in.size(); i-- > 0;)
            if (BlockLost(n.in[i]->block))
                EndStream(n, n.in[i].get(), devwire::kStatusUnsuccessful, true);
    }
}

void DropConnection(State& s, DeviceConn& conn) {
    Node& n = s.nodes[conn.node];
    for (auto& o : n.out)
        if (o.stream && o.stream->conn == &conn) {
            ++n.stats.cancelled;
            EndStream(n, o.stream.get(), devwire::kStatusCancelled, false);
        }
    for (size_t i = n.in.size(); i-- > 0;)
        if (n.in[i]->conn == &conn) {
            ++n.stats.cancelled;
            EndStream(n, n.in[i].get(), devwire::kStatusCancelled, false);
        }
}

void ReleaseAllStreams(State& s) {
    for (Node& n : s.nodes) {
        for (auto& o : n.out)
            if (o.stream) EndStream(n, o.stream.get(), devwire::kStatusCancelled, false);
        while (!n.in.empty())
            EndStream(n, n.in.back().get(), devwire::kStatusCancelled, false);
    }
}

}  // namespace sim
