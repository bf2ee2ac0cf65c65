// A stand-in for the driver library that the layer loads through
// $VELTRANE_DRIVER: it records every call of its three entry points, answers
// what a test tells it to, and calls the application back through the host's
// DriverCallback as the real driver does.
#pragma once

#include "host/os/mmddk_base.h"

extern "C" {
enum FakeEntry { kFakeDriverProc = 0, kFakeMod = 1, kFakeMid = 2 };

struct FakeCall {
    FakeEntry entry;
    UINT uDeviceID;  // DriverProc: 0
    UINT uMsg;
    DWORD_PTR dwUser;  // DriverProc: dwDriverId
    DWORD_PTR dwParam1, dwParam2;
};

// What DRV_OPEN answers: the layer passes it back with the later messages.
constexpr LRESULT kFakeDriverId = 0x77;
// What MODM_GETNUMDEVS and MIDM_GETNUMDEVS answer.
constexpr DWORD kFakeNumDevs = 4;

void FakeReset(void);
DWORD FakeCallCount(void);
FakeCall FakeCallAt(DWORD i);
// From now on entry answers uMsg with dwAnswer (and does nothing else).
void FakeAnswer(FakeEntry entry, UINT uMsg, DWORD dwAnswer);

// Exported by the fake as by the driver.
LRESULT DriverProc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
DWORD modMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                 DWORD_PTR dwParam2);
DWORD midMessage(UINT uDeviceID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dwParam1,
                 DWORD_PTR dwParam2);
}
