// Where the multimedia layer first enters the driver: the library's load
// notification and the driver-level messages.
#include "driver/driver.h"

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE hModule, DWORD dwReason, LPVOID pReserved) {
    (void)pReserved;
    if (dwReason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(hModule);
    return 1;
}

extern "C" LRESULT CALLBACK DriverProc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg,
                                       LPARAM lParam1, LPARAM lParam2) {
    switch (uMsg) {
        case DRV_LOAD:
            return 1;
        case DRV_ENABLE:
            return DrvInit() == 0 ? 1 : 0;
        case DRV_OPEN:
        case DRV_CLOSE:
            return 1;
        case DRV_DISABLE:
            DrvEnd();
            return 1;
        case DRV_FREE:
            return 1;
        case DRV_CONFIGURE:
        case DRV_QUERYCONFIGURE:  // no configuration dialog
            return 0;
        case DRV_INSTALL:
        case DRV_REMOVE:
        case DRV_POWER:
            return 1;
        default:
            return DefDriverProc(dwDriverId, hDriver, uMsg, lParam1, lParam2);
    }
}
