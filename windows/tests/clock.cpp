// A clock the tests set, standing in for winmm's timeGetTime in the driver's
// objects. The driver calls timeGetTime through its import slot; defining the
// slot here keeps the linker from taking winmm's, so every call in this
// program (the driver's and the tests') reads gdwClock.
#include <windows.h>

#include "windows/tests/wintest.h"

namespace {
DWORD gdwClock = 0;
DWORD WINAPI TestTimeGetTime() {
    return gdwClock;
}
}  // namespace

#if defined(__i386__)
#define VT_IMPORT_SLOT "__imp__timeGetTime@0"
#else
#define VT_IMPORT_SLOT "__imp_timeGetTime"
#endif
extern "C" DWORD(WINAPI* gpfnTimeGetTime)(void) __asm__(VT_IMPORT_SLOT);
DWORD(WINAPI* gpfnTimeGetTime)(void) = &TestTimeGetTime;

namespace vtw {
void SetClock(DWORD dwMs) {
    gdwClock = dwMs;
}
}  // namespace vtw
