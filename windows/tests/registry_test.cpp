// The instance registry and the probe of the device files on Win32: which
// nodes are present, how IDs map onto them, and the names they report.
#include <cstring>

#include "windows/tests/wintest.h"

namespace vtw {
namespace {

using Registry = DriverFixture;

TEST_F(Registry, EnableMakesEightInstancesListedFromNodeSevenDown) {
    DWORD dwExpected = 7;
    int cInstances = 0;
    for (HardwareInstance* p = pHardwareList; p != nullptr; p = p->pNext, --dwExpected) {
        EXPECT_EQ(p->dwDevNode, dwExpected);
        EXPECT_EQ(p->fEnabled, 1u);
        EXPECT_EQ(p->fPresent, 0u);
        EXPECT_EQ(p->cAdd, 1);
        ++cInstances;
    }
    EXPECT_EQ(cInstances, 8);
    EXPECT_EQ(DevNodeToHardwareInstance(8), nullptr);
    // An enabled node is not removed.
    EXPECT_EQ(RemoveDevNode(3), DWORD(MMSYSERR_ALLOCATED));
    ASSERT_NE(Instance(3), nullptr);
    EXPECT_EQ(Instance(3)->cAdd, 0);
    EXPECT_EQ(AddDevNode(3), 0u);  // back to the count the fixture's disable expects
}

TEST_F(Registry, SecondEnableKeepsInstancesThroughOneDisable) {
    ASSERT_EQ(DriverProc(0, nullptr, DRV_ENABLE, 0, 0), 1);
    ASSERT_EQ(DriverProc(0, nullptr, DRV_DISABLE, 0, 0), 1);
    for (DWORD n = 0; n < kDevNodes; ++n) {
        ASSERT_NE(Instance(n), nullptr);
        EXPECT_EQ(Instance(n)->cAdd, 1);
        EXPECT_EQ(Instance(n)->cEnable, 1);
        EXPECT_EQ(Instance(n)->fEnabled, 1u);
    }
}

using Enumeration = DriverFixture;

TEST_F(Enumeration, ProbeFindsTheDeviceFilesAndNumbersPortsByNode) {
    DeviceFiles files({2, 5});
    if (!files.ok()) GTEST_SKIP() << "device files need a Wine prefix (WINEPREFIX)";
    EXPECT_EQ(NTGetNumberInstances(), 2);
    EXPECT_EQ(gwNumInstances, 2);
    for (DWORD n = 0; n < kDevNodes; ++n) {
        EXPECT_EQ(Instance(n)->fPresent, (n == 2 || n == 5) ? 1u : 0u) << "node " << n;
        WCHAR szExpected[32];
        wsprintfW(szExpected, L"\\\\.\\veltrane-%u", static_cast<unsigned>(n));
        EXPECT_EQ(lstrcmpW(Instance(n)->szDevicePath, szExpected), 0) << "node " << n;
    }
    const DWORD adwNodeOfId[] = {2, 2, 5, 5};
    for (UINT id = 0; id < 4; ++id) {
        ASSERT_NE(modDevIdToHwInstance(id), nullptr) << "id " << id;
        EXPECT_EQ(modDevIdToHwInstance(id)->dwDevNode, adwNodeOfId[id]);
        EXPECT_EQ(midDevIdToHwInstance(id), modDevIdToHwInstance(id));
    }
    EXPECT_EQ(modDevIdToHwInstance(4), nullptr);
    EXPECT_EQ(midDevIdToHwInstance(0xFFFFFFFF), nullptr);
    EXPECT_EQ(DeviceIDFromDevNode(5), 0);
    EXPECT_EQ(DeviceIDFromDevNode(2), 1);
    EXPECT_EQ(DeviceIDFromDevNode(8), 0xFFFF);
}

TEST_F(Enumeration, ProbeFollowsFilesThatComeAndGo) {
    {
        DeviceFiles files({0, 7});
        if (!files.ok()) GTEST_SKIP() << "device files need a Wine prefix (WINEPREFIX)";
        EXPECT_EQ(NTGetNumberInstances(), 2);
        EXPECT_EQ(modDevIdToHwInstance(3)->dwDevNode, 7u);
    }
    EXPECT_EQ(NTGetNumberInstances(), 0);
    EXPECT_EQ(modDevIdToHwInstance(0), nullptr);
}

std::string NameOf(const WCHAR* psz) {
    std::string s;
    for (int i = 0; i < MAXPNAMELEN && psz[i] != 0; ++i)
        s += static_cast<char>(psz[i]);
    return s;
}

TEST_F(Enumeration, OneInterfaceGivesNamesWithoutDigitAndFullRecords) {
    DeviceFiles files({4});
    if (!files.ok()) GTEST_SKIP() << "device files need a Wine prefix (WINEPREFIX)";
    ASSERT_EQ(NTGetNumberInstances(), 1);
    HardwareInstance* p = modDevIdToHwInstance(1);
    ASSERT_NE(p, nullptr);

    MIDIOUTCAPSW out;
    memset(&out, 0xCD, sizeof out);
    modGetDevCaps(1, p, &out, sizeof out);
    EXPECT_EQ(NameOf(out.szPname), "Out-B Veltrane");
    EXPECT_EQ(out.wMid, kManufacturerId);
    EXPECT_EQ(out.vDriverVersion, 0x410Du);
    EXPECT_EQ(out.wTechnology, MOD_MIDIPORT);
    EXPECT_EQ(out.wChannelMask, 0xFFFF);
    EXPECT_EQ(out.dwSupport, 0u);
    // The name is terminated and zero-filled to the end of szPname.
    for (int i = 14; i < MAXPNAMELEN; ++i)
        EXPECT_EQ(out.szPname[i], 0) << "character " << i;

    BYTE ab[sizeof(MIDIINCAPSW) + 4];
    memset(ab, 0xCD, sizeof ab);
    midGetDevCaps(0, p, ab, sizeof ab);
    EXPECT_EQ(NameOf(reinterpret_cast<MIDIINCAPSW*>(ab)->szPname), "In-A Veltrane");
    for (size_t i = 72; i < sizeof ab; ++i)
        EXPECT_EQ(ab[i], 0xCD) << "byte " << i;
}

}  // namespace
}  // namespace vtw
