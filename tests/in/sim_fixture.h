// A fixture for input tests against the simulated kernel side: node 0
// plugged, the driver loaded and probed, and input handles opened through
// midMessage with a recording callback. The clock is manual: timers run only
// when the test runs them, and the bytes that the simulator delivers are
// parsed by ticking whenever it has delivered more.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "host/os/host.h"
#include "tests/in/in_support.h"
#include "tests/support/loaded_driver.h"
#include "tests/support/sim_process.h"

namespace vt {

class SimFixture : public ::testing::Test {
  protected:
    static constexpr DWORD kT0 = 50000;

    void SetUp() override {
        VtHostSetManualClock(TRUE);
        VtHostSetTime(kT0);
        ASSERT_EQ(2u, midMessage(0, MIDM_GETNUMDEVS, 0, 0, 0));
        pInstance = DevNodeToHardwareInstance(0);
        ASSERT_NE(nullptr, pInstance);
        // The lock's handle is made at its first use and kept for the life
        // of the process: make it now, so handle counts compare like with like.
        CriticalSection(kCsEnter, pInstance);
        CriticalSection(kCsLeave, pInstance);
    }
    void TearDown() override { VtHostSetManualClock(FALSE); }

    InputClient* Open(UINT uDeviceID, NotificationRecorder* pRec = nullptr,
                      DWORD* pdwResult = nullptr) {
        if (pRec == nullptr) pRec = &rec;
        MIDIOPENDESC desc = pRec->Desc(reinterpret_cast<HMIDI>(0x2000 + ++cOpened));
        DWORD_PTR dwUser = 0;
        DWORD dwResult = midMessage(uDeviceID, MIDM_OPEN, reinterpret_cast<DWORD_PTR>(&dwUser),
                                    reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_FUNCTION);
        if (pdwResult != nullptr) {
            *pdwResult = dwResult;
        } else {
            EXPECT_EQ(0u, dwResult);
        }
        return reinterpret_cast<InputClient*>(dwUser);
    }
    DWORD Message(UINT uDeviceID, InputClient* pClient, UINT uMsg, DWORD_PTR dw1 = 0) {
        return midMessage(uDeviceID, uMsg, reinterpret_cast<DWORD_PTR>(pClient), dw1,
                          sizeof(MIDIHDR));
    }
    DWORD Close(UINT uDeviceID, InputClient* pClient) {
        return Message(uDeviceID, pClient, MIDM_CLOSE);
    }

    // Runs every timer once, a millisecond after the last run.
    void Tick() {
        VtHostAdvanceTime(1);
        VtHostRunTimers();
    }
    // Ticks until done() holds. A tick drains what the ring holds, so between
    // ticks it waits for the simulator to deliver another packet; false when
    // done() does not hold and nothing more comes.
    bool TickUntil(const std::function<bool()>& done) {
        for (;;) {
            uint64_t cDelivered = sim.Stats(0)["delivered_in"];
            Tick();
            if (done()) return true;
            if (!sim.Await(0, "delivered_in", cDelivered + 1)) return false;
        }
    }
    // Runs a few more ticks, for checking that nothing else arrives. A round
    // trip to the simulator first: whatever it had due by now is delivered.
    void Settle(int cTicks = 50) {
        sim.Stats(0);
        for (int i = 0; i < cTicks; ++i)
            Tick();
    }

    Simulator sim{"--nodes 0"};
    LoadedDriver loaded;
    NotificationRecorder rec;
    HardwareInstance* pInstance = nullptr;
    int cOpened = 0;
};

}  // namespace vt
