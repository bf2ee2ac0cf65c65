// The DLL's entry point. The C runtime's own entry runs first (it sets up the
// runtime and static data) and then calls DllMain, which hands every
// notification to the driver's DllEntryPoint: process attach is where the
// driver turns off thread notifications.
#include "driver/driver.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD dwReason, LPVOID pReserved) {
    return DllEntryPoint(hModule, dwReason, pReserved);
}
