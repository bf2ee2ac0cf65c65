// The driver loaded as the multimedia layer loads it, for tests that link the
// driver's objects: DRV_LOAD, DRV_ENABLE and DRV_OPEN at construction,
// DRV_CLOSE, DRV_DISABLE and DRV_FREE at destruction.
#pragma once

#include "driver/driver.h"

namespace vt {

class DriverSession {
  public:
    DriverSession() {
        DriverProc(0, nullptr, DRV_LOAD, 0, 0);
        DriverProc(0, nullptr, DRV_ENABLE, 0, 0);
        DriverProc(0, nullptr, DRV_OPEN, 0, 0);
    }
    ~DriverSession() {
        DriverProc(0, nullptr, DRV_CLOSE, 0, 0);
        DriverProc(0, nullptr, DRV_DISABLE, 0, 0);
        DriverProc(0, nullptr, DRV_FREE, 0, 0);
    }
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;
};

}  // namespace vt
