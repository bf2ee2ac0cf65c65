// The driver loaded as the multimedia layer loads it, for tests that link the
// driver's objects: DRV_LOAD, DRV_ENABLE and DRV_OPEN at construction,
// DRV_CLOSE, DRV_DISABLE and DRV_FREE at destruction.
#pragma once

#include "driver/driver.h"

namespace vt {

class LoadedDriver {
  public:
    LoadedDriver() {
        DriverProc(0, nullptr, DRV_LOAD, 0, 0);
        DriverProc(0, nullptr, DRV_ENABLE, 0, 0);
        DriverProc(0, nullptr, DRV_OPEN, 0, 0);
    }
    ~LoadedDriver() {
        DriverProc(0, nullptr, DRV_CLOSE, 0, 0);
        DriverProc(0, nullptr, DRV_DISABLE, 0, 0);
        DriverProc(0, nullptr, DRV_FREE, 0, 0);
    }
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;
};

}  // namespace vt
