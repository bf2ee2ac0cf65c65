// Loading and unloading the driver library, and the start and stop messages
// the layer sends to its DriverProc.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

#include "host/mm/layer.h"

namespace vtmm {
namespace {

typedef LRESULT (*DriverProcFn)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
typedef DWORD (*MessageFn)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

// gMutex serialises loading and unloading. Calls into a loaded driver take
// no lock: gfLoaded is set after the entry points are stored and cleared
// before they are dropped, and unloading while other threads still call the
// API is outside what the layer supports.
std::mutex gMutex;
std::atomic<bool> gfLoaded{false};
void* gpLibrary = nullptr;
DriverProcFn gpfnDriverProc = nullptr;
MessageFn gpfnModMessage = nullptr;
MessageFn gpfnMidMessage = nullptr;
DWORD_PTR gdwDriverId = 0;  // what DRV_OPEN answered; passed to the later messages
bool gfAtExitRegistered = false;
std::string gsError;

// Stands for the driver handle that winmm passes with the driver messages.
int gDriverAnchor;
HDRVR DriverHandle() {
    return reinterpret_cast<HDRVR>(&gDriverAnchor);
}

// $VELTRANE_DRIVER, else libveltrane.so beside this library, else the one the
// build tree made.
std::string DriverPath() {
    const char* env = std::getenv("VELTRANE_DRIVER");
    if (env && *env) return env;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DriverPath), &info) && info.dli_fname) {
        std::string self = info.dli_fname;
        size_t slash = self.rfind('/');
        if (slash != std::string::npos) {
            std::string beside = self.substr(0, slash + 1) + "libveltrane.so";
            if (access(beside.c_str(), R_OK) == 0) return beside;
        }
    }
    return VT_MM_DEFAULT_DRIVER;
}

void UnloadLocked() {
    gfLoaded.store(false, std::memory_order_release);
    gpfnDriverProc(gdwDriverId, DriverHandle(), DRV_CLOSE, 0, 0);
    gpfnDriverProc(gdwDriverId, DriverHandle(), DRV_DISABLE, 0, 0);
    gpfnDriverProc(gdwDriverId, DriverHandle(), DRV_FREE, 0, 0);
    dlclose(gpLibrary);
    gpLibrary = nullptr;
    gpfnDriverProc = nullptr;
    gpfnModMessage = nullptr;
    gpfnMidMessage = nullptr;
    gdwDriverId = 0;
}

// At the end of the process the driver is stopped as at an explicit shutdown,
// unless handles are still open: the driver would free what they use.
void UnloadAtExit() {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gfLoaded.load() && OpenHandleCount() == 0) UnloadLocked();
}

MMRESULT LoadLocked() {
    std::string path = DriverPath();
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = dlerror();
        gsError = why ? why : ("cannot load " + path);
        return MMSYSERR_NODRIVER;
    }
    auto proc = reinterpret_cast<DriverProcFn>(dlsym(lib, "DriverProc"));
    auto mod = reinterpret_cast<MessageFn>(dlsym(lib, "modMessage"));
    auto mid = reinterpret_cast<MessageFn>(dlsym(lib, "midMessage"));
    if (!proc || !mod || !mid) {
        gsError = path + ": not a MIDI driver (DriverProc, modMessage or midMessage missing)";
        dlclose(lib);
        return MMSYSERR_NODRIVER;
    }
    if (proc(0, DriverHandle(), DRV_LOAD, 0, 0) == 0) {
        gsError = path + ": the driver refused DRV_LOAD";
        dlclose(lib);
        return MMSYSERR_NODRIVER;
    }
    proc(0, DriverHandle(), DRV_ENABLE, 0, 0);
    LRESULT id = proc(0, DriverHandle(), DRV_OPEN, 0, 0);
    if (id == 0) {
        gsError = path + ": the driver refused DRV_OPEN";
        proc(0, DriverHandle(), DRV_DISABLE, 0, 0);
        proc(0, DriverHandle(), DRV_FREE, 0, 0);
        dlclose(lib);
        return MMSYSERR_NODRIVER;
    }
    gpLibrary = lib;
    gpfnDriverProc = proc;
    gpfnModMessage = mod;
    gpfnMidMessage = mid;
    gdwDriverId = static_cast<DWORD_PTR>(id);
    gsError.clear();
    // winmm counts a driver's ports when it loads it; the driver fixes its
    // port numbering at the first count and refuses opens before it.
    mod(0, MODM_GETNUMDEVS, 0, 0, 0);
    mid(0, MIDM_GETNUMDEVS, 0, 0, 0);
    gfLoaded.store(true, std::memory_order_release);
    // Registered after the driver has started the host's services, so it runs
    // before their own teardown at exit.
    if (!gfAtExitRegistered) {
        gfAtExitRegistered = true;
        std::atexit(UnloadAtExit);
    }
    return MMSYSERR_NOERROR;
}

}  // namespace

MMRESULT EnsureDriver() {
    if (gfLoaded.load(std::memory_order_acquire)) return MMSYSERR_NOERROR;
    std::lock_guard<std::mutex> lock(gMutex);
    if (gfLoaded.load()) return MMSYSERR_NOERROR;
    return LoadLocked();
}

DWORD ModMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                 DWORD_PTR dwParam2) {
    return gpfnModMessage(uDeviceID, uMsg, dwUser, dwParam1, dwParam2);
}

DWORD MidMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                 DWORD_PTR dwParam2) {
    return gpfnMidMessage(uDeviceID, uMsg, dwUser, dwParam1, dwParam2);
}

}  // namespace vtmm

extern "C" {

MMRESULT WINAPI VtMmShutdown(void) {
    std::lock_guard<std::mutex> lock(vtmm::gMutex);
    if (!vtmm::gfLoaded.load()) return MMSYSERR_NOERROR;
    if (vtmm::OpenHandleCount() != 0) return MMSYSERR_HANDLEBUSY;
    vtmm::UnloadLocked();
    return MMSYSERR_NOERROR;
}

const char* WINAPI VtMmDriverError(void) {
    std::lock_guard<std::mutex> lock(vtmm::gMutex);
    return vtmm::gsError.c_str();
}

UINT WINAPI VtMmOpenHandles(void) {
    return vtmm::OpenHandleCount();
}
}
