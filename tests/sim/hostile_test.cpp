// Peers that do not play by the rules: whatever a local process sends to a
// device node or the control socket, takes away or leaves unread, the
// simulated kernel side goes on serving everyone else, and keeps no
// descriptor it was passed for nothing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>

#include "tests/sim/sim_test.h"

namespace {

using simtest::Answer;
using simtest::BlockMemory;
using simtest::DeviceConnection;

int DescriptorsOf(int pid) {
    int count = 0;
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(d))
            ++count;
        closedir(d);
    }
    return count;
}

// The simulator still serves: a fresh connection gets its descriptor.
bool Serves(vt::Simulator& sim) {
    DeviceConnection c;
    return c.Open(vt::TestRoot(), 0) &&
           c.Call(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, 18).reply.dwStatus ==
               devwire::kStatusSuccess &&
           sim.Command("stats 0").rfind("ok ", 0) == 0;
}

// The memory behind a running stream goes away (the peer shrinks the file);
// the next touch of the block ends the stream with an error answer.
TEST(SimHostile, MemoryShrunkUnderAStreamEndsItWithAnError) {
    struct Case {
        const char* what;
        bool file;  // a file under the root, or a memfd
        uint32_t pipe;
        const char* touch;  // what makes the simulator touch the block
    } cases[] = {
        {"memfd, input", false, kPipeIn, "inject 0 A F8"},
        {"file, input", true, kPipeIn, "inject 0 A F8"},
        {"memfd, output drained", false, kPipeOutA, "rate 0 fast"},
        {"file, output drained", true, kPipeOutB, "rate 0 fast"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        vt::Simulator sim("--nodes 0 --rate paused --no-loopback");
        BlockMemory mem(2 * kFifoBlockBytes, k.file ? vt::TestRoot() + "/block" : "");
        ASSERT_TRUE(mem.ok());
        DeviceConnection c;
        ASSERT_TRUE(c.Open(vt::TestRoot(), 0));
        mem.Init(kFifoBlockBytes);
        ASSERT_EQ(c.Start(k.pipe, mem, kFifoBlockBytes).reply.fPending, 1u);
        ASSERT_TRUE(mem.Shrink(0));
        sim.Ok(k.touch);
        Answer done = c.NextCompletion();
        ASSERT_TRUE(done.ok) << "the simulator died";
        EXPECT_EQ(done.reply.dwType, devwire::kReplyLater);
        EXPECT_EQ(done.reply.dwStatus, devwire::kStatusUnsuccessful);
        auto st = sim.Stats(0);
        EXPECT_EQ(st["streams_in"] + st["streams_out_a"] + st["streams_out_b"], 0u);
        // The same connection starts again on sound memory.
        BlockMemory sound;
        sound.Init(0);
        EXPECT_EQ(c.Start(k.pipe, sound, 0).reply.fPending, 1u);
    }
}

// Requests no driver sends: each is answered at once with an error (or, too
// short to name a request, ends its connection), and every descriptor that
// came with them is closed again.
TEST(SimHostile, MalformedRequestsAreRefusedAndKeepNoDescriptor) {
    vt::Simulator sim("--nodes 0 --rate paused");
    BlockMemory mem;
    mem.Init(0);
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    int dir = open(vt::TestRoot().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string roPath = vt::TestRoot() + "/read-only";
    BlockMemory onDisk(kFifoBlockBytes, roPath);
    int readOnly = open(roPath.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    ASSERT_GE(readOnly, 0);
    StreamStartRequest sr{kPipeIn, kFifoWords, 0};
    auto request = [&](uint32_t type, uint32_t code, uint32_t cbIn, size_t cbPayload) {
        devwire::Request req{type, 77, code, cbIn, kFifoBlockBytes, 1, 0};
        std::vector<uint8_t> m(sizeof req + cbPayload);
        std::memcpy(m.data(), &req, sizeof req);
        if (cbPayload >= sizeof sr) std::memcpy(m.data() + sizeof req, &sr, sizeof sr);
        return m;
    };
    const uint32_t kNone = 0xFFFFFFFF;  // the connection ends unanswered
    struct Case {
        const char* what;
        std::vector<uint8_t> message;
        std::vector<int> fds;
        uint32_t status;
    } cases[] = {
        {"shorter than a header", {1, 2, 3, 4}, {mem.fd()}, kNone},
        {"not a request",
         request(0x1234, IOCTL_START_STREAM, 12, 12),
         {mem.fd()},
         devwire::kStatusInvalidParameter},
        {"input size that lies",
         request(devwire::kRequest, IOCTL_START_STREAM, 40, 12),
         {},
         devwire::kStatusInvalidParameter},
        {"larger than any request",
         request(devwire::kRequest, IOCTL_START_STREAM, 12, devwire::kMaxPayload + 64),
         {mem.fd()},
         devwire::kStatusInvalidParameter},
        {"unknown code",
         request(devwire::kRequest, 0xDEAD, 12, 12),
         {mem.fd(), mem.fd()},
         devwire::kStatusInvalidDeviceRequest},
        {"a pipe for memory",
         request(devwire::kRequest, IOCTL_START_STREAM, 12, 12),
         {pipeFds[0]},
         devwire::kStatusInvalidParameter},
        {"a socket for memory",
         request(devwire::kRequest, IOCTL_START_STREAM, 12, 12),
         {sockets[0]},
         devwire::kStatusInvalidParameter},
        {"a directory for memory",
         request(devwire::kRequest, IOCTL_START_STREAM, 12, 12),
         {dir},
         devwire::kStatusInvalidParameter},
        {"a read-only file",
         request(devwire::kRequest, IOCTL_START_STREAM, 12, 12),
         {readOnly},
         devwire::kStatusInvalidParameter},
        {"more descriptors than a message holds",
         request(devwire::kRequest, IOCTL_START_STREAM, 12, 12),
         std::vector<int>(2 * devwire::kMaxPassedFds, mem.fd()), devwire::kStatusInvalidParameter},
    };
    int before = DescriptorsOf(sim.pid());
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        DeviceConnection c;
        ASSERT_TRUE(c.Open(vt::TestRoot(), 0));
        ASSERT_TRUE(c.SendRaw(k.message.data(), k.message.size(), k.fds));
        Answer a = c.Receive();
        if (k.status == kNone) {
            EXPECT_FALSE(a.ok);
        } else {
            ASSERT_TRUE(a.ok);
            EXPECT_EQ(a.reply.fPending, 0u);
            EXPECT_EQ(a.reply.dwStatus, k.status);
        }
        EXPECT_TRUE(Serves(sim));
    }
    EXPECT_EQ(sim.Stats(0)["streams_in"], 0u);
    EXPECT_TRUE(vt::Eventually([&] { return DescriptorsOf(sim.pid()) == before; }))
        << DescriptorsOf(sim.pid()) << " descriptors, " << before << " before";
    for (int fd : {pipeFds[0], pipeFds[1], sockets[0], sockets[1], dir, readOnly})
        close(fd);
}

// Peers that never read their answers, or leave with requests on the way,
// hold up nobody else.
TEST(SimHostile, PeersThatDoNotReadOrLeaveEarlyHoldUpNobody) {
    vt::Simulator sim("--nodes 0 --rate paused");
    BlockMemory mem(2 * kFifoBlockBytes);
    // Device connections that send requests and never read the answers.
    // Each such peer held the whole simulator up for a second or more.
    std::vector<DeviceConnection> silent(8);
    for (DeviceConnection& c : silent) {
        ASSERT_TRUE(c.Open(vt::TestRoot(), 0));
        int flags = fcntl(c.fd(), F_GETFL);
        fcntl(c.fd(), F_SETFL, flags | O_NONBLOCK);
        while (c.Send(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, 18) != 0) {
        }
    }
    // Control connections that do the same with lines.
    std::vector<int> deaf;
    for (int i = 0; i < 8; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        ASSERT_TRUE(devwire::SocketAddress(devwire::ControlPath(vt::TestRoot()), &addr));
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        std::string lines;
        for (int j = 0; j < 1000; ++j)
            lines += "help\n";
        while (send(fd, lines.data(), lines.size(), MSG_NOSIGNAL) > 0) {
        }
        deaf.push_back(fd);
    }
    // One that leaves right after starting a stream, one in the middle of a line.
    {
        DeviceConnection gone;
        ASSERT_TRUE(gone.Open(vt::TestRoot(), 0));
        mem.Init(0);
        StreamStartRequest sr{kPipeOutA, kFifoWords, 0};
        ASSERT_NE(gone.Send(IOCTL_START_STREAM, &sr, sizeof sr, kFifoBlockBytes, mem.fd(), 0), 0u);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        ASSERT_TRUE(devwire::SocketAddress(devwire::ControlPath(vt::TestRoot()), &addr));
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(send(fd, "stats 0\nawait 0 desc", 20, MSG_NOSIGNAL), 20);
        close(fd);
    }
    ASSERT_TRUE(sim.Await(0, "cancelled", 1));
    // Everyone else is served as before, a stream included.
    EXPECT_TRUE(Serves(sim));
    DeviceConnection c;
    ASSERT_TRUE(c.Open(vt::TestRoot(), 0));
    mem.Init(kFifoBlockBytes);
    EXPECT_EQ(c.Start(kPipeOutA, mem, kFifoBlockBytes).reply.fPending, 1u);
    for (int fd : deaf)
        close(fd);
}

TEST(SimHostile, InputStreamsOfANodeAreBounded) {
    vt::Simulator sim("--nodes 0 --rate paused");
    constexpr size_t kBound = 64;
    BlockMemory mem((kBound + 1) * kFifoBlockBytes);
    DeviceConnection c;
    ASSERT_TRUE(c.Open(vt::TestRoot(), 0));
    for (size_t i = 0; i < kBound; ++i) {
        mem.Init(i * kFifoBlockBytes);
        ASSERT_EQ(c.Start(kPipeIn, mem, i * kFifoBlockBytes).reply.fPending, 1u) << i;
    }
    mem.Init(kBound * kFifoBlockBytes);
    Answer a = c.Start(kPipeIn, mem, kBound * kFifoBlockBytes);
    EXPECT_EQ(a.reply.fPending, 0u);
    EXPECT_EQ(a.reply.dwStatus, devwire::kStatusDeviceBusy);
    EXPECT_EQ(sim.Stats(0)["refused"], 1u);
}

}  // namespace
