// The simulator's device requests: the input drives a few peers of node 0
// of a fresh simulator. They send requests with any header and payload, pass
// descriptors of every kind (memfds and files of varied sizes, pipes,
// sockets, directories, too many at once), shrink memory under running
// streams, fill and drain rings, stop by the cookie found in a block, leave
// answers unread, hang up, and unplug or replug the node. The simulator must
// neither crash nor hang: after it all, it still answers its control socket.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/support/fuzz_support.h"
#include "host/os/devwire.h"

namespace {

constexpr int kPeers = 3;
constexpr size_t kMemBytes = 3 * kFifoBlockBytes;

// Memory to pass: a memfd (or a file under the root) that this side maps too,
// until it shrinks it.
struct Memory {
    int fd = -1;
    uint8_t* base = nullptr;
    bool shrunk = false;
    explicit Memory(bool file) {
        fd = file ? open((fuzz::Root() + "/fuzz-file").c_str(),
                         O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)
                  : memfd_create("fuzz-block", MFD_CLOEXEC);
        void* p = MAP_FAILED;
        if (fd >= 0 && ftruncate(fd, kMemBytes) == 0)
            p = mmap(nullptr, kMemBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) fuzz::Fail("cannot make memory to pass");
        base = static_cast<uint8_t*>(p);
        for (uint32_t i = 0; i < 3; ++i) {
            MidiFifo* f = Block(i);
            f->dwMagic = MIDI_FIFO_MAGIC;
            f->cbHeader = kFifoHeaderBytes;
            f->cdwSize = kFifoWords;
            f->iRead = f->iWrite = kFifoFirstSlot;
        }
    }
    ~Memory() {
        munmap(base, kMemBytes);
        close(fd);
    }
    MidiFifo* Block(uint32_t i) {
        return shrunk ? nullptr : reinterpret_cast<MidiFifo*>(base + i * kFifoBlockBytes);
    }
};

// Descriptors of other kinds, made once.
struct Others {
    int pipeRead = -1, pipeWrite = -1, sockets[2] = {-1, -1}, dir = -1, readOnly = -1, devNull = -1;
    Others() {
        int p[2];
        if (pipe2(p, O_CLOEXEC) == 0) pipeRead = p[0], pipeWrite = p[1];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets);
        dir = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
        std::string path = fuzz::Root() + "/fuzz-read-only";
        int w = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (w >= 0 && ftruncate(w, 4 * kFifoBlockBytes) == 0)
            readOnly = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (w >= 0) close(w);
    }
};

struct Run {
    explicit Run(FuzzedDataProvider& data) : in(data) {}
    FuzzedDataProvider& in;
    Memory memfd{false};
    Memory file{true};
    int peers[kPeers] = {-1, -1, -1};
    uint32_t nextId = 1;

    Memory& PickMemory() { return in.ConsumeBool() ? memfd : file; }

    int PickDescriptor() {
        static Others others;
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
            case 1:
                return memfd.fd;
            case 2:
                return file.fd;
            case 3:
                return others.pipeRead;
            case 4:
                return others.sockets[0];
            case 5:
                return others.dir;
            case 6:
                return others.readOnly;
            default:
                return others.devNull;
        }
    }

    void Send(int peer) {
        int fd = peers[peer];
        if (fd < 0) return;
        devwire::Request req{};
        req.dwType = in.ConsumeIntegralInRange<int>(0, 15) ? devwire::kRequest
                                                           : in.ConsumeIntegral<uint32_t>();
        req.dwId = nextId++;
        req.dwCode = in.PickValueInArray({IOCTL_GET_DEVICE_DESCRIPTOR, IOCTL_FIRST_ACQUIRE,
                                          IOCTL_STOP_STREAM, IOCTL_START_STREAM, IOCTL_START_STREAM,
                                          in.ConsumeIntegral<uint32_t>()});
        std::vector<uint8_t> payload;
        if (req.dwCode == IOCTL_START_STREAM && in.ConsumeIntegralInRange<int>(0, 7)) {
            StreamStartRequest sr{in.PickValueInArray({kPipeIn, kPipeOutA, kPipeOutB, 3u}),
                                  in.ConsumeIntegralInRange<int>(0, 7) ? kFifoWords : 512u, 0};
            payload.resize(sizeof sr);
            std::memcpy(payload.data(), &sr, sizeof sr);
        } else if (req.dwCode == IOCTL_STOP_STREAM && in.ConsumeBool()) {
            // The cookie a running block holds, or any number.
            MidiFifo* f = PickMemory().Block(in.ConsumeIntegralInRange<uint32_t>(0, 2));
            uint32_t cookie =
                f ? __atomic_load_n(const_cast<uint32_t*>(&f->dwMagic), __ATOMIC_ACQUIRE)
                  : in.ConsumeIntegral<uint32_t>();
            payload.resize(4);
            std::memcpy(payload.data(), &cookie, 4);
        } else {
            payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64));
        }
        req.cbIn = in.ConsumeIntegralInRange<int>(0, 15) ? static_cast<uint32_t>(payload.size())
                                                         : in.ConsumeIntegral<uint32_t>();
        req.cbOut = in.PickValueInArray(
            {0u, 18u, 17u, kFifoBlockBytes, 2048u, in.ConsumeIntegral<uint32_t>()});
        req.fDirect = in.ConsumeBool();
        req.qwOffset =
            in.PickValueInArray<uint64_t>({0, kFifoBlockBytes, 2 * kFifoBlockBytes, 1024, 2,
                                           kMemBytes, in.ConsumeIntegral<uint64_t>()});
        std::vector<int> fds;
        int cFds = in.PickValueInArray({0, 1, 1, 1, 2, 12});
        for (int i = 0; i < cFds; ++i)
            fds.push_back(PickDescriptor());
        if (in.ConsumeIntegralInRange<int>(0, 31) == 0)
            payload.resize(devwire::kMaxPayload + 16);  // larger than any request

        std::vector<uint8_t> msg(sizeof req + payload.size());
        std::memcpy(msg.data(), &req, sizeof req);
        if (!payload.empty()) std::memcpy(msg.data() + sizeof req, payload.data(), payload.size());
        // A header cut short now and then.
        size_t cb = in.ConsumeIntegralInRange<int>(0, 31)
                        ? msg.size()
                        : in.ConsumeIntegralInRange<size_t>(0, 23);
        iovec iov{msg.data(), cb};
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        std::vector<char> control;
        devwire::AttachDescriptors(&mh, &control, fds);
        sendmsg(fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    void ReadAnswers(int peer) {
        uint8_t buf[sizeof(devwire::Reply) + devwire::kMaxPayload];
        while (peers[peer] >= 0 && recv(peers[peer], buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
    }

    // The packets a running output block is drained of, or an input block
    // given; some packets into an output block.
    void Rings() {
        Memory& m = PickMemory();
        MidiFifo* f = m.Block(in.ConsumeIntegralInRange<uint32_t>(0, 2));
        if (!f) return;
        uint32_t pk;
        if (in.ConsumeBool()) {
            while (sim::RingTake(f, &pk)) {
            }
        } else {
            for (int i = in.ConsumeIntegralInRange<int>(0, 40); i > 0; --i)
                sim::RingPut(f, FifoPacket(0x903C40, 3, 0));
        }
        if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
            // A header scribbled on.
            __atomic_store_n(const_cast<uint32_t*>(&f->iWrite), in.ConsumeIntegral<uint32_t>(),
                             __ATOMIC_RELEASE);
            __atomic_store_n(const_cast<uint32_t*>(&f->cdwSize), in.ConsumeIntegral<uint32_t>(),
                             __ATOMIC_RELEASE);
        }
    }

    void Control(const char* line) {
        sim::ControlClient client;
        std::string answer, error;
        if (!client.Connect(fuzz::Root(), &error) || !client.Command(line, &answer, &error, 10000))
            fuzz::Fail("the simulator does not answer its control socket");
    }

    void Step() {
        int peer = in.ConsumeIntegralInRange<int>(0, kPeers - 1);
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
                if (peers[peer] < 0)
                    peers[peer] =
                        fuzz::Connect(devwire::DevicePath(fuzz::Root(), 0), SOCK_SEQPACKET);
                break;
            case 1:
            case 2:
            case 3:
                Send(peer);
                break;
            case 4:
                ReadAnswers(peer);
                break;
            case 5:
                if (peers[peer] >= 0) close(peers[peer]);
                peers[peer] = -1;
                break;
            case 6: {
                // The memory under the blocks goes away: this side no longer
                // touches it, the simulator must not die of it.
                Memory& m = PickMemory();
                m.shrunk = true;
                if (ftruncate(m.fd, in.PickValueInArray<off_t>({0, 100, kFifoBlockBytes})) != 0)
                    fuzz::Fail("ftruncate");
                break;
            }
            case 7:
                Rings();
                break;
            case 8:
                Control(in.PickValueInArray({"rate 0 fast", "rate 0 wire", "rate 0 paused",
                                             "inject 0 A F0 01 02 F7 90 3C 40", "packet 0 01000FF8",
                                             "loopback 0 off", "stats 0"}));
                break;
            default:
                Control(in.ConsumeBool() ? "unplug 0" : "plug 0");
                break;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FreshServer();
    FuzzedDataProvider in(data, size);
    {
        Run run(in);
        while (in.remaining_bytes() > 0)
            run.Step();
        run.Control("stats 0");
        for (int fd : run.peers)
            if (fd >= 0) close(fd);
        // Hung up: nothing of the peers' is touched any more.
        run.Control("help");
    }
    return 0;
}
