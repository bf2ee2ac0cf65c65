/* What the Linux multimedia layer offers beyond winmm: how it loads the
 * driver, and its unloading and counts for tests and tools. The winmm API
 * itself is in include/mmsystem.h.
 *
 * The layer loads the driver on first use: $VELTRANE_DRIVER names its path,
 * else the libveltrane.so beside this library, else the one of the build
 * tree. It then sends DRV_LOAD, DRV_ENABLE and DRV_OPEN to DriverProc and
 * counts the ports once in each direction (as winmm does when it loads a
 * driver), so that opening a port by ID works without asking for the count
 * first. VtMmShutdown, or the end of the process, sends DRV_CLOSE,
 * DRV_DISABLE and DRV_FREE and unloads it, but never while a handle is open.
 *
 * Device IDs go to the driver unchanged and a handle keeps the ID it was
 * opened with. The driver receives the application's callback and instance in
 * the MIDIOPENDESC with hMidi set to the layer's handle, so its notifications
 * reach the application straight through the host's DriverCallback (a stream
 * handle's go through the layer's player first).
 *
 * Defined by host/mm (driver_loader.cpp); used by tests and tools, in either
 * view of wide text.
 */
#pragma once

#include "host/os/mmsystem_base.h"

VT_EXTERN_C_BEGIN
/* Sends DRV_CLOSE, DRV_DISABLE and DRV_FREE and unloads the driver. Answers
 * MMSYSERR_HANDLEBUSY, and leaves the driver loaded, while any handle is open;
 * MMSYSERR_NOERROR otherwise (also when nothing was loaded). The next call of
 * the API loads the driver again. */
MMRESULT WINAPI VtMmShutdown(void);
/* Why the driver could not be loaded (the calls then answer MMSYSERR_NODRIVER
 * and the counts 0), or an empty string. */
const char* WINAPI VtMmDriverError(void);
/* Number of open handles of every kind. */
UINT WINAPI VtMmOpenHandles(void);
VT_EXTERN_C_END
