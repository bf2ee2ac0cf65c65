// Process attach on Linux: the dynamic loader runs this when the driver
// library is loaded, as the Windows loader calls the entry point of the DLL.
#include "driver/driver.h"

namespace {
int gAnchor;  // any address inside the library stands for its module handle

__attribute__((constructor)) void AttachProcess() {
    DllEntryPoint(reinterpret_cast<HINSTANCE>(&gAnchor), DLL_PROCESS_ATTACH, nullptr);
}
}  // namespace
