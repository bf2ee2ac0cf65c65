// Multimedia driver services: DefDriverProc and DriverCallback.
#include <atomic>

#include "host/os/internal.h"

namespace {
std::atomic<DWORD> gcDefDriverProcCalls{0};
std::atomic<UINT> guLastDefDriverProcMsg{0};
}  // namespace

extern "C" {

LRESULT WINAPI DefDriverProc(DWORD_PTR, HDRVR, UINT uMsg, LPARAM, LPARAM) {
    guLastDefDriverProcMsg.store(uMsg);
    gcDefDriverProcCalls.fetch_add(1);
    switch (uMsg) {
        case DRV_LOAD:
        case DRV_FREE:
        case DRV_ENABLE:
        case DRV_DISABLE:
        case DRV_OPEN:
        case DRV_CLOSE:
            return 1;
        default:
            return 0;
    }
}

DWORD VtHostDefDriverProcCalls(UINT* puLastMsg) {
    if (puLastMsg) *puLastMsg = guLastDefDriverProcMsg.load();
    return gcDefDriverProcCalls.load();
}

BOOL WINAPI DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg,
                           DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
    switch (dwFlags & DCB_TYPEMASK) {
        case DCB_FUNCTION:
            if (dwCallback == 0) return FALSE;
            reinterpret_cast<LPDRVCALLBACK>(dwCallback)(hDevice, dwMsg, dwUser, dwParam1, dwParam2);
            return TRUE;
        case DCB_EVENT:
            // A handle that is not an event is a failed delivery, not a success.
            return SetEvent(reinterpret_cast<HANDLE>(dwCallback));
        default:
            return FALSE;
    }
}

}  // extern "C"
