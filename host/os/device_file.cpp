// CreateFileW: "\\.\NAME" is the device served at <root>/dev/NAME; every
// other path, and a device nobody serves, is ERROR_FILE_NOT_FOUND.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "host/os/devwire.h"
#include "host/os/internal.h"

namespace {

// The NAME of "\\.\NAME", or empty when the path is not a device path or the
// name could step outside the device directory.
std::string DeviceName(LPCWSTR path) {
    static const WCHAR kPrefix[] = VT_TEXT("\\\\.\\");
    if (!path) return {};
    for (int i = 0; kPrefix[i]; ++i)
        if (path[i] != kPrefix[i]) return {};
    std::string name;
    for (const WCHAR* p = path + 4; *p; ++p) {
        if (*p <= 0x20 || *p >= 0x7F || *p == u'/' || *p == u'\\') return {};
        name += static_cast<char>(*p);
    }
    if (name == "." || name == "..") return {};
    return name;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return VtHostCreateFile16(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                              dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

HANDLE VtHostCreateFile16(const VT_CHAR16* lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                          DWORD, HANDLE) {
    vthost::CheckNoMutexHeld("CreateFileW");
    std::string name = DeviceName(lpFileName);
    sockaddr_un addr;
    if (name.empty() || !devwire::SocketAddress(devwire::DevicePath(VtHostRoot(), name), &addr)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    int rc;
    do
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        // No socket file, or a file that nobody serves any more.
        close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<vthost::Object> device = vthost::ConnectDevice(fd);
    if (!device) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return vthost::AddHandle(device);
}

}  // extern "C"
