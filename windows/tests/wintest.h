// Shared pieces of the tests of the driver's own logic on Win32: the clock
// the tests set, the device files of the Wine prefix, the instance registry
// enabled around each test, and a recorder of client notifications.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/devices.h"
#include "driver/driver.h"
#include "hwlink/hwlink.h"
#include "windows/tests/child.h"

namespace vtw {

// The driver's timeGetTime answers this (see clock.cpp).
void SetClock(DWORD dwMs);

// Ordinary files in the prefix's dosdevices folder: \\.\veltrane-N opens for
// each listed node while the object lives. Empty when not running under Wine.
class DeviceFiles {
  public:
    explicit DeviceFiles(const std::vector<int>& nodes);
    ~DeviceFiles();
    DeviceFiles(const DeviceFiles&) = delete;
    DeviceFiles& operator=(const DeviceFiles&) = delete;
    bool ok() const { return ok_; }

  private:
    std::vector<std::string> paths_;
    bool ok_ = false;
};

// DRV_ENABLE before each test, DRV_DISABLE after it: eight instances.
class DriverFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    HardwareInstance* Instance(DWORD dwNode) { return DevNodeToHardwareInstance(dwNode); }
};

// One notification as the application's function callback received it.
struct Note {
    UINT uMsg;
    DWORD_PTR dwInstance, dwParam1, dwParam2;
};

// Notifications of clients whose dwCallback is NoteCallback and dwFlags
// CALLBACK_FUNCTION, in arrival order.
extern std::vector<Note> gNotes;
void CALLBACK NoteCallback(HDRVR hDrv, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dw1,
                           DWORD_PTR dw2);

// The child modes of the FIFO and lock tests; -1 for an unknown one.
int RunFifoLockChild(const ChildArgs& child);

}  // namespace vtw
