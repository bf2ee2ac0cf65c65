// The driver entry: the DriverProc table, the instance registry's counts and
// order, and client notification.
#include <gtest/gtest.h>

#include <vector>

#include "devices/devices.h"
#include "driver/driver.h"
#include "host/os/host.h"
#include "tests/support/loaded_driver.h"

namespace {

std::vector<DWORD> NodesInListOrder() {
    std::vector<DWORD> nodes;
    for (HardwareInstance* p = pHardwareList; p != nullptr; p = p->pNext)
        nodes.push_back(p->dwDevNode);
    return nodes;
}

TEST(DriverProcTable, AnswersEveryListedMessageItself) {
    struct Case {
        UINT uMsg;
        LRESULT lExpected;
    };
    // DRV_ENABLE and DRV_DISABLE are exercised with the registry below.
    const Case cases[] = {{DRV_LOAD, 1},    {DRV_OPEN, 1},      {DRV_CLOSE, 1},
                          {DRV_FREE, 1},    {DRV_CONFIGURE, 0}, {DRV_QUERYCONFIGURE, 0},
                          {DRV_INSTALL, 1}, {DRV_REMOVE, 1},    {DRV_POWER, 1}};
    UINT uLast = 0;
    DWORD cBefore = VtHostDefDriverProcCalls(&uLast);
    for (const Case& c : cases) {
        EXPECT_EQ(DriverProc(0, nullptr, c.uMsg, 0, 0), c.lExpected) << "message " << c.uMsg;
        EXPECT_EQ(DriverProc(7, nullptr, c.uMsg, 123, 456), c.lExpected) << "message " << c.uMsg;
    }
    EXPECT_EQ(VtHostDefDriverProcCalls(&uLast), cBefore)
        << "a listed message reached DefDriverProc";
}

TEST(DriverProcTable, OtherMessagesGoToDefDriverProcUnchanged) {
    for (UINT uMsg : {11u, 12u, 13u, 14u, 16u, 0x4000u}) {
        UINT uLast = 0;
        DWORD cBefore = VtHostDefDriverProcCalls(&uLast);
        LRESULT lDefault = DefDriverProc(5, nullptr, uMsg, 1, 2);
        EXPECT_EQ(DriverProc(5, nullptr, uMsg, 1, 2), lDefault);
        EXPECT_EQ(VtHostDefDriverProcCalls(&uLast), cBefore + 2) << "message " << uMsg;
        EXPECT_EQ(uLast, uMsg);
    }
}

TEST(DllEntry, AnswersOneForEveryReason) {
    for (DWORD dwReason :
         {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH, DLL_PROCESS_DETACH})
        EXPECT_EQ(DllEntryPoint(nullptr, dwReason, nullptr), 1);
}

TEST(InstanceRegistry, EnableCreatesEightInstancesFromSevenDownToZero) {
    ASSERT_EQ(pHardwareList, nullptr);
    EXPECT_EQ(DriverProc(0, nullptr, DRV_ENABLE, 0, 0), 1);
    EXPECT_EQ(NodesInListOrder(), (std::vector<DWORD>{7, 6, 5, 4, 3, 2, 1, 0}));
    for (DWORD n = 0; n < 8; ++n) {
        HardwareInstance* p = DevNodeToHardwareInstance(n);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->dwDevNode, n);
        EXPECT_EQ(p->cAdd, 1);
        EXPECT_EQ(p->cEnable, 1);
        EXPECT_EQ(p->fEnabled, 1u);
        EXPECT_EQ(p->fPresent, 0u);
        EXPECT_EQ(p->cAcquire, 0);
        EXPECT_EQ(p->aStreams[0].pFifo, nullptr);
    }
    EXPECT_EQ(DevNodeToHardwareInstance(8), nullptr);
    EXPECT_EQ(DriverProc(0, nullptr, DRV_DISABLE, 0, 0), 1);
    EXPECT_EQ(pHardwareList, nullptr);
    EXPECT_EQ(DevNodeToHardwareInstance(0), nullptr);
}

TEST(InstanceRegistry, TwoEnablesNeedTwoDisables) {
    DriverProc(0, nullptr, DRV_ENABLE, 0, 0);
    DriverProc(0, nullptr, DRV_ENABLE, 0, 0);
    DriverProc(0, nullptr, DRV_DISABLE, 0, 0);
    ASSERT_EQ(NodesInListOrder().size(), 8u);
    for (DWORD n = 0; n < 8; ++n) {
        HardwareInstance* p = DevNodeToHardwareInstance(n);
        EXPECT_EQ(p->cAdd, 1);
        EXPECT_EQ(p->cEnable, 1);
        EXPECT_EQ(p->fEnabled, 1u);
    }
    DriverProc(0, nullptr, DRV_DISABLE, 0, 0);
    EXPECT_EQ(pHardwareList, nullptr);
}

TEST(InstanceRegistry, RemovingAnEnabledNodeAnswersAllocatedAndKeepsIt) {
    vt::LoadedDriver loaded;
    EXPECT_EQ(RemoveDevNode(3), static_cast<DWORD>(MMSYSERR_ALLOCATED));
    HardwareInstance* p = DevNodeToHardwareInstance(3);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->cAdd, 0);
    // Disabled, the next remove frees it; one more finds nothing.
    EXPECT_EQ(DisableDevNode(3), static_cast<DWORD>(MMSYSERR_NOERROR));
    EXPECT_EQ(p->fEnabled, 0u);
    EXPECT_EQ(RemoveDevNode(3), static_cast<DWORD>(MMSYSERR_NOERROR));
    EXPECT_EQ(DevNodeToHardwareInstance(3), nullptr);
    EXPECT_EQ(RemoveDevNode(3), static_cast<DWORD>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(EnableDevNode(3, 0), static_cast<DWORD>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(DisableDevNode(3), static_cast<DWORD>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(NodesInListOrder(), (std::vector<DWORD>{7, 6, 5, 4, 2, 1, 0}));
    // Adding the node again puts it at the head of the list.
    EXPECT_EQ(AddDevNode(3), static_cast<DWORD>(MMSYSERR_NOERROR));
    EXPECT_EQ(EnableDevNode(3, 0), static_cast<DWORD>(MMSYSERR_NOERROR));
    EXPECT_EQ(NodesInListOrder(), (std::vector<DWORD>{3, 7, 6, 5, 4, 2, 1, 0}));
}

TEST(InstanceRegistry, ExtraDisablesDoNotWrapTheEnableCount) {
    vt::LoadedDriver loaded;
    HardwareInstance* p = DevNodeToHardwareInstance(1);
    EXPECT_EQ(DisableDevNode(1), static_cast<DWORD>(MMSYSERR_NOERROR));
    EXPECT_EQ(DisableDevNode(1), static_cast<DWORD>(MMSYSERR_NOERROR));
    EXPECT_EQ(p->cEnable, 0);
    EXPECT_EQ(p->fEnabled, 0u);
    EXPECT_EQ(EnableDevNode(1, 0), static_cast<DWORD>(MMSYSERR_NOERROR));
    EXPECT_EQ(p->fEnabled, 1u);
}

TEST(InstanceRegistry, AllocationFailureLeavesThatNodeWithoutInstance) {
    VtHostFailAllocs(1);  // the first instance made is node 0's
    EXPECT_EQ(DriverProc(0, nullptr, DRV_ENABLE, 0, 0), 1);
    EXPECT_EQ(DevNodeToHardwareInstance(0), nullptr);
    EXPECT_EQ(NodesInListOrder(), (std::vector<DWORD>{7, 6, 5, 4, 3, 2, 1}));
    // The probe passes over the missing node instead of failing.
    EXPECT_EQ(NTGetNumberInstances(), 0);
    DriverProc(0, nullptr, DRV_DISABLE, 0, 0);
    EXPECT_EQ(pHardwareList, nullptr);
}

// ---- notification
struct Recorded {
    HDRVR hdrvr;
    UINT uMsg;
    DWORD_PTR dwUser, dw1, dw2;
};
std::vector<Recorded> gRecorded;

void CALLBACK Record(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2) {
    gRecorded.push_back({hdrvr, uMsg, dwUser, dw1, dw2});
}

TEST(ClientNotification, FunctionCallbackGetsHandleMessageInstanceAndParameters) {
    gRecorded.clear();
    ClientHeader client{};
    client.hMidi = reinterpret_cast<HMIDI>(0x1234);
    client.dwCallback = reinterpret_cast<DWORD_PTR>(&Record);
    client.dwInstance = 0xABCDEF;
    client.dwFlags = CALLBACK_FUNCTION | 0x20;
    midiCallback(&client, MIM_DATA, 0x00403C90, 17);
    ASSERT_EQ(gRecorded.size(), 1u);
    EXPECT_EQ(gRecorded[0].hdrvr, reinterpret_cast<HDRVR>(0x1234));
    EXPECT_EQ(gRecorded[0].uMsg, static_cast<UINT>(MIM_DATA));
    EXPECT_EQ(gRecorded[0].dwUser, 0xABCDEFu);
    EXPECT_EQ(gRecorded[0].dw1, 0x00403C90u);
    EXPECT_EQ(gRecorded[0].dw2, 17u);
}

TEST(ClientNotification, NoCallbackTypeMeansNoNotificationAtAll) {
    gRecorded.clear();
    ClientHeader client{};
    client.dwCallback = reinterpret_cast<DWORD_PTR>(&Record);
    client.dwFlags = 0x0000FFFF;  // low bits only
    midiCallback(&client, MOM_OPEN, 0, 0);
    EXPECT_TRUE(gRecorded.empty());
}

TEST(ClientNotification, EventCallbackSetsTheEvent) {
    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ClientHeader client{};
    client.dwCallback = reinterpret_cast<DWORD_PTR>(hEvent);
    client.dwFlags = CALLBACK_EVENT;
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_TIMEOUT);
    midiCallback(&client, MOM_DONE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0);
    CloseHandle(hEvent);
}

}  // namespace
