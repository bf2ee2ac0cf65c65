// Host mappings: the shared data common to every live process of the root and
// zero-filled again once no user lives, private mappings, and finding the
// mapping (descriptor and offset) that holds a buffer.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "host/os/host.h"
#include "tests/host/peer.h"

namespace {

TEST(SharedMapping, IsTheSameMemoryInEveryProcess) {
    auto* p = static_cast<volatile uint32_t*>(VtHostMapShared("common", 8192));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4096, 0u);
    EXPECT_EQ(p[0], 0u);
    EXPECT_EQ(p[2047], 0u);
    p[1] = 0x1234;
    vt::ChildProcess peer = vthosttest::StartPeer();
    ASSERT_EQ(peer.Ask("map common 8192"), "ok");
    EXPECT_EQ(peer.Ask("get 1"), "4660");  // a live user: not zero-filled again
    EXPECT_EQ(peer.Ask("set 2047 77"), "ok");
    EXPECT_EQ(p[2047], 77u);
    // A second mapping in this process is the same memory too.
    auto* q = static_cast<volatile uint32_t*>(VtHostMapShared("common", 8192));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q[1], 0x1234u);
    // Another name is other memory.
    auto* other = static_cast<volatile uint32_t*>(VtHostMapShared("other", 4096));
    EXPECT_EQ(other[1], 0u);
}

TEST(SharedMapping, IsZeroFilledAgainWhenNoUserLives) {
    // This process never maps "fresh", so the peers are its only users.
    vt::ChildProcess first = vthosttest::StartPeer();
    ASSERT_EQ(first.Ask("map fresh 8192"), "ok");
    ASSERT_EQ(first.Ask("set 5 99"), "ok");
    vt::ChildProcess second = vthosttest::StartPeer();
    ASSERT_EQ(second.Ask("map fresh 8192"), "ok");
    EXPECT_EQ(second.Ask("get 5"), "99");
    // The kernel side maps it too, and may still do so after they died.
    int fd = open((vt::TestRoot() + "/obj/map-fresh").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* kernelSide = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(kernelSide, MAP_FAILED);
    // Both die without any goodbye; the next user must not inherit the state,
    // and must not cut the file under the kernel side's mapping either (it
    // asks for less than the file holds: a shrink would show).
    first.Kill();
    second.Kill();
    vt::ChildProcess third = vthosttest::StartPeer();
    ASSERT_EQ(third.Ask("map fresh 4096"), "ok");
    EXPECT_EQ(third.Ask("get 5"), "0");
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, 8192);
    EXPECT_EQ(static_cast<volatile uint32_t*>(kernelSide)[5], 0u);
    munmap(kernelSide, 8192);
    close(fd);
}

// A named object's files live as long as its users: the last one to end
// normally takes them away (one that is killed leaves them for the next user
// to take over afresh, as above).
TEST(SharedMapping, FilesOfNamedObjectsGoWithTheLastUser) {
    auto filesLeft = [] {
        int c = 0;
        for (const auto& e : std::filesystem::directory_iterator(vt::TestRoot() + "/obj"))
            c += e.path().filename().string().find("files") != std::string::npos;
        return c;
    };
    vt::ChildProcess first = vthosttest::StartPeer();
    vt::ChildProcess second = vthosttest::StartPeer();
    for (vt::ChildProcess* p : {&first, &second}) {
        ASSERT_EQ(p->Ask("map files 4096"), "ok");
        ASSERT_EQ(p->Ask("mutex files"), "ok");
    }
    ASSERT_EQ(first.Ask("set 3 42"), "ok");
    EXPECT_EQ(filesLeft(), 6);  // each object's file, its .users and its .init
    first.Send("exit");
    EXPECT_EQ(first.Wait(), 0);
    EXPECT_EQ(filesLeft(), 6);
    EXPECT_EQ(second.Ask("get 3"), "42");
    second.Send("exit");
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_EQ(filesLeft(), 0);
}

TEST(SharedMapping, CanBeHandedToTheKernelSide) {
    // Output blocks live in the shared data and go to the kernel side as the
    // output of out-direct requests.
    auto* p = static_cast<BYTE*>(VtHostMapShared("blocks", 5000));
    ASSERT_NE(p, nullptr);
    int fd = -1;
    uint64_t offset = 1;
    ASSERT_TRUE(VtHostFindMapping(p + 4096, 4096, &fd, &offset));  // rounded up to pages
    EXPECT_EQ(offset, 4096u);
    EXPECT_GE(fd, 0);
}

TEST(FindMapping, AnswersDescriptorAndOffsetOfTheHoldingMapping) {
    auto* base = static_cast<BYTE*>(VtHostMapPrivate(3 * 4096));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base[0], 0);
    EXPECT_EQ(base[3 * 4096 - 1], 0);
    int fd = -1;
    uint64_t offset = 0;
    ASSERT_TRUE(VtHostFindMapping(base + 4096, 4096, &fd, &offset));
    EXPECT_EQ(offset, 4096u);
    // The descriptor is the memory itself, as the kernel side will map it.
    void* view = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 4096);
    ASSERT_NE(view, MAP_FAILED);
    static_cast<BYTE*>(view)[10] = 0x5A;
    EXPECT_EQ(base[4096 + 10], 0x5A);
    base[4096 + 11] = 0xA5;
    EXPECT_EQ(static_cast<BYTE*>(view)[11], 0xA5);
    munmap(view, 4096);

    struct Case {
        const void* p;
        size_t cb;
        bool found;
    } cases[] = {
        {base, 3 * 4096, true},
        {base + 3 * 4096 - 1, 1, true},
        {base + 3 * 4096 - 1, 2, false},  // runs past the end
        {base - 1, 2, false},             // starts before it
        {&fd, sizeof fd, false},          // ordinary memory
        {nullptr, 1, false},
    };
    for (const Case& c : cases) {
        int fdFound = -7;
        uint64_t off = 7;
        EXPECT_EQ(VtHostFindMapping(c.p, c.cb, &fdFound, &off), c.found ? TRUE : FALSE) << c.p;
        if (!c.found) {
            EXPECT_EQ(fdFound, -7);  // untouched
            EXPECT_EQ(off, 7u);
        }
    }
}

}  // namespace
