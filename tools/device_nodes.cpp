// The device files \\.\veltrane-0 ... \\.\veltrane-7: opened as the driver
// opens them, and asked for the interface's USB device descriptor.
#include "tools/device_nodes.h"

#include <cstdio>

#include "include/kernel_abi.h"
#include "tools/winmm.h"

namespace tools {
namespace {

HANDLE OpenNode(unsigned node, DWORD flags) {
    const char kPath[] = "\\\\.\\veltrane-0";
    WCHAR path[sizeof kPath] = {};
    for (size_t i = 0; i < sizeof kPath; ++i)
        path[i] = static_cast<WCHAR>(kPath[i]);
    path[sizeof kPath - 2] = static_cast<WCHAR>('0' + node);
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       flags, nullptr);
}

std::string Hex4(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
    return b;
}

}  // namespace

bool NodePresent(unsigned node) {
    HANDLE h = OpenNode(node, FILE_FLAG_OVERLAPPED);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

std::vector<unsigned> PresentNodes() {
    std::vector<unsigned> nodes;
    for (unsigned node = 0; node < kDevNodes; ++node)
        if (NodePresent(node)) nodes.push_back(node);
    return nodes;
}

std::string InterfaceTrouble(unsigned node) {
    std::string where = "the interface on device node " + std::to_string(node);
    HANDLE h = OpenNode(node, 0);
    if (h == INVALID_HANDLE_VALUE)
        return "device node " + std::to_string(node) + " is gone (unplugged?)";
    unsigned char descriptor[64] = {};
    DWORD got = 0;
    BOOL ok = DeviceIoControl(h, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor,
                              sizeof descriptor, &got, nullptr);
    CloseHandle(h);
    if (!ok) return where + " does not answer when asked who it is";
    if (got != kUsbDeviceDescriptorBytes)
        return where + " does not answer as expected: its device descriptor has " +
               std::to_string(got) + " bytes instead of " +
               std::to_string(kUsbDeviceDescriptorBytes);
    unsigned vendor = descriptor[kUsbDescVendorOffset] | descriptor[kUsbDescVendorOffset + 1] << 8;
    unsigned product = descriptor[kUsbDescProductOffset] | descriptor[kUsbDescProductOffset + 1]
                                                               << 8;
    if (vendor != kExpectedVendorId || product != kExpectedProductId)
        return where + " is not one the driver takes: it says it is USB " + Hex4(vendor) + ":" +
               Hex4(product) + ", the driver takes " + Hex4(kExpectedVendorId) + ":" +
               Hex4(kExpectedProductId);
    return "";
}

}  // namespace tools
