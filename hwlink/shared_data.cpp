// Where the driver's memory for ring blocks lives. The output regions and the
// system-wide acquisition counters are common to every process that loads the
// driver; the input region is private to each process. This is the only
// place in the driver that differs between the two targets.
#include "hwlink/hwlink.h"

#if defined(_WIN32)

// A data section of the image that every process shares: the linker marks
// .shared read-write-shared. It must be initialised data to stay in the
// section.
#if defined(_MSC_VER)
// allocate() keeps even all-zero data in the section (data_seg may move it to
// .bss).
#pragma section(".shared", read, write, shared)
__declspec(allocate(".shared")) static SharedData gSharedData = {};
#pragma comment(linker, "/SECTION:.shared,RWS")
#else
static SharedData gSharedData __attribute__((section(".shared"), shared)) = {};
#endif

static DWORD gadwInMidiFifo[kDevNodes * kFifoWords];

SharedData* SharedDataOfSystem() {
    return &gSharedData;
}
DWORD* InputRegionOfProcess() {
    return gadwInMidiFifo;
}

#else

#include "host/os/host.h"

// The host maps these on first use; the kernel side is handed the mapping's
// descriptor with every stream start, so the blocks must live in host
// mappings rather than in ordinary process memory.
SharedData* SharedDataOfSystem() {
    static SharedData* pShared =
        static_cast<SharedData*>(VtHostMapShared("veltrane-shared", sizeof(SharedData)));
    return pShared;
}

DWORD* InputRegionOfProcess() {
    static DWORD* pIn = static_cast<DWORD*>(VtHostMapPrivate(kDevNodes * kFifoBlockBytes));
    return pIn;
}

#endif
