// The messages of one device connection, between DeviceIoControl in the host
// and the simulated kernel side serving $VELTRANE_ROOT/dev/veltrane-N. Both
// ends include this header; nothing else of the host is shared with the
// kernel side.
//
// A connection is a SOCK_SEQPACKET Unix socket, one per CreateFileW handle.
// The host sends a Request for every DeviceIoControl. The kernel side answers
// every request at once with one Reply of type kReplyNow: either the request
// is finished (fPending 0, status and output with it) or it stays pending
// (fPending 1). A pending request is finished later by one Reply of type
// kReplyLater with the same id. When the connection closes, the kernel side
// ends whatever was pending on it; the host completes those requests itself as
// cancelled.
//
// Out-direct requests (method 2) carry no output in the messages: the Request
// passes the descriptor of the mapping that holds the caller's buffer
// (SCM_RIGHTS) and the buffer's offset in it, and the kernel side maps that
// memory and reads and writes it in place for as long as the request runs.
// Both ends attach and take passed descriptors with the helpers below.
//
// Also here, because both ends and the tools need them without the rest of
// the host: the object root and the paths under it, and the addresses of the
// Unix sockets there.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace devwire {

constexpr uint32_t kRequest = 0x51455256;     // host to kernel side
constexpr uint32_t kReplyNow = 0x4E4F5752;    // first answer to a request
constexpr uint32_t kReplyLater = 0x54414C52;  // completion of a pending request

constexpr uint32_t kMaxPayload = 4096;  // input or buffered output bytes per message

struct Request {
    uint32_t dwType;    // kRequest
    uint32_t dwId;      // chosen by the host, unique on the connection
    uint32_t dwCode;    // the control code
    uint32_t cbIn;      // input bytes that follow this header
    uint32_t cbOut;     // size of the caller's output buffer
    uint32_t fDirect;   // 1: output is the passed mapping (descriptor attached)
    uint64_t qwOffset;  // offset of the output buffer in that mapping
};

struct Reply {
    uint32_t dwType;      // kReplyNow or kReplyLater
    uint32_t dwId;        // the request answered
    uint32_t fPending;    // kReplyNow only: 1 = a kReplyLater follows
    uint32_t dwStatus;    // NTSTATUS-style result, below
    uint32_t cbReturned;  // bytes produced; buffered output follows this header
    uint32_t dwReserved;
};

// Results of a request, as the kernel side reports them; the host leaves them
// in OVERLAPPED.Internal and maps them to Win32 errors for GetLastError.
constexpr uint32_t kStatusSuccess = 0x00000000;
constexpr uint32_t kStatusCancelled = 0xC0000120;             // ERROR_OPERATION_ABORTED
constexpr uint32_t kStatusInvalidDeviceRequest = 0xC0000010;  // ERROR_INVALID_FUNCTION
constexpr uint32_t kStatusInvalidParameter = 0xC000000D;      // ERROR_INVALID_PARAMETER
constexpr uint32_t kStatusBufferTooSmall = 0xC0000023;        // ERROR_INSUFFICIENT_BUFFER
constexpr uint32_t kStatusDeviceNotConnected = 0xC000009D;    // ERROR_DEVICE_NOT_CONNECTED
constexpr uint32_t kStatusDeviceBusy = 0x80000011;            // ERROR_BUSY
constexpr uint32_t kStatusUnsuccessful = 0xC0000001;          // ERROR_GEN_FAILURE

// Room for the one descriptor an out-direct Request passes.
struct DescriptorSpace {
    alignas(cmsghdr) char ab[CMSG_SPACE(sizeof(int))];
};
// Attaches fd to a message about to be sent; space must outlive the send.
inline void AttachDescriptor(msghdr* pMsg, DescriptorSpace* pSpace, int fd) {
    std::memset(pSpace->ab, 0, sizeof pSpace->ab);
    pMsg->msg_control = pSpace->ab;
    pMsg->msg_controllen = sizeof pSpace->ab;
    cmsghdr* c = CMSG_FIRSTHDR(pMsg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
}

// Attaches any number of descriptors (peers that try the kernel side's limits
// send several); space holds them and must outlive the send.
inline void AttachDescriptors(msghdr* pMsg, std::vector<char>* pSpace,
                              const std::vector<int>& fds) {
    if (fds.empty()) return;
    pSpace->assign(CMSG_SPACE(sizeof(int) * fds.size()), 0);
    pMsg->msg_control = pSpace->data();
    pMsg->msg_controllen = pSpace->size();
    cmsghdr* c = CMSG_FIRSTHDR(pMsg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
}

// Every descriptor a received message carried, in order. The receiver owns
// them all and must keep or close each one.
inline std::vector<int> PassedDescriptors(msghdr* pMsg) {
    std::vector<int> fds;
    for (cmsghdr* c = CMSG_FIRSTHDR(pMsg); c; c = CMSG_NXTHDR(pMsg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t cFds = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < cFds; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            fds.push_back(fd);
        }
    }
    return fds;
}

// One message taken from a connection.
struct Received {
    ssize_t cb = -1;       // recvmsg's answer: bytes, 0 at the end, -1 with errno set
    int flags = 0;         // the message's flags: MSG_TRUNC, MSG_CTRUNC when cut
    std::vector<int> fds;  // the descriptors it carried, in order (close-on-exec);
                           // the receiver owns them and must keep or close each
};
// Most descriptors one message can bring; a message with more is cut
// (MSG_CTRUNC) and the rest are closed by the system.
constexpr size_t kMaxPassedFds = 8;
// Receives one message of at most cbBuf bytes into pBuf with the descriptors
// it carries; flags as recvmsg takes them. An interrupted call is retried.
inline Received ReceiveMessage(int fd, void* pBuf, size_t cbBuf, int flags) {
    alignas(cmsghdr) char abControl[CMSG_SPACE(sizeof(int) * kMaxPassedFds)] = {};
    iovec iov{pBuf, cbBuf};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = abControl;
    msg.msg_controllen = sizeof abControl;
    Received r;
    do
        r.cb = recvmsg(fd, &msg, flags | MSG_CMSG_CLOEXEC);
    while (r.cb < 0 && errno == EINTR);
    // A failed call fills in nothing: the control buffer holds no descriptors.
    if (r.cb < 0) return r;
    r.flags = msg.msg_flags;
    r.fds = PassedDescriptors(&msg);
    return r;
}

// The object root: $VELTRANE_ROOT (without trailing slashes), or
// /tmp/veltrane-$UID when it is unset or empty.
inline std::string Root() {
    const char* psz = std::getenv("VELTRANE_ROOT");
    std::string root = psz && *psz ? psz : "/tmp/veltrane-" + std::to_string(getuid());
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}
// The device nodes: <root>/dev/NAME; the node N serves "veltrane-N".
inline std::string DeviceDir(const std::string& root) {
    return root + "/dev";
}
inline std::string DevicePath(const std::string& root, const std::string& name) {
    return DeviceDir(root) + "/" + name;
}
inline std::string DevicePath(const std::string& root, unsigned node) {
    return DevicePath(root, "veltrane-" + std::to_string(node));
}
inline std::string ControlPath(const std::string& root) {
    return root + "/control";
}

// The address of the Unix socket at path; false when the path is too long
// for one.
inline bool SocketAddress(const std::string& path, sockaddr_un* pAddr) {
    *pAddr = {};
    pAddr->sun_family = AF_UNIX;
    if (path.size() >= sizeof pAddr->sun_path) return false;
    std::memcpy(pAddr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace devwire
