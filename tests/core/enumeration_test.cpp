// The probe of the device files, the mapping of device IDs onto instances and
// ports, and the capability records with the ports' names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "devices/devices.h"
#include "driver/driver.h"
#include "tests/core/served_nodes.h"
#include "tests/support/loaded_driver.h"
#include "tests/support/support.h"

namespace {

class Enumeration : public ::testing::Test {
  protected:
    vt::LoadedDriver loaded_;
};

std::string OutName(UINT port, HardwareInstance* p) {
    MIDIOUTCAPSW caps{};
    modGetDevCaps(port, p, &caps, sizeof caps);
    return vt::Narrow(caps.szPname);
}

std::string InName(UINT port, HardwareInstance* p) {
    MIDIINCAPSW caps{};
    midGetDevCaps(port, p, &caps, sizeof caps);
    return vt::Narrow(caps.szPname);
}

TEST_F(Enumeration, NoDeviceFileMeansNoPorts) {
    EXPECT_EQ(NTGetNumberInstances(), 0);
    EXPECT_EQ(gwNumInstances, 0);
    for (UINT id : {0u, 1u, 2u, 15u, 0xFFFFFFFFu}) {
        EXPECT_EQ(modDevIdToHwInstance(id), nullptr);
        EXPECT_EQ(midDevIdToHwInstance(id), nullptr);
    }
    for (DWORD n = 0; n < 8; ++n)
        EXPECT_EQ(DevNodeToHardwareInstance(n)->fPresent, 0u);
}

TEST_F(Enumeration, NodesTwoAndFiveMapInAscendingOrderAndNameInListOrder) {
    vt::ServedNodes nodes{2, 5};
    EXPECT_EQ(NTGetNumberInstances(), 2);
    HardwareInstance* p2 = DevNodeToHardwareInstance(2);
    HardwareInstance* p5 = DevNodeToHardwareInstance(5);
    EXPECT_EQ(vt::Narrow(p2->szDevicePath), "\\\\.\\veltrane-2");
    EXPECT_EQ(vt::Narrow(p5->szDevicePath), "\\\\.\\veltrane-5");
    for (DWORD n = 0; n < 8; ++n)
        EXPECT_EQ(DevNodeToHardwareInstance(n)->fPresent, (n == 2 || n == 5) ? 1u : 0u) << n;
    EXPECT_EQ(modDevIdToHwInstance(0), p2);
    EXPECT_EQ(modDevIdToHwInstance(1), p2);
    EXPECT_EQ(modDevIdToHwInstance(2), p5);
    EXPECT_EQ(midDevIdToHwInstance(3), p5);
    EXPECT_EQ(modDevIdToHwInstance(4), nullptr);
    EXPECT_EQ(midDevIdToHwInstance(4), nullptr);
    // Names count the present instances with a higher node.
    EXPECT_EQ(DeviceIDFromDevNode(5), 0);
    EXPECT_EQ(DeviceIDFromDevNode(2), 1);
    EXPECT_EQ(DeviceIDFromDevNode(9), 0xFFFF);
    EXPECT_EQ(OutName(0, p2), "Out-A2 Veltrane");
    EXPECT_EQ(OutName(1, p2), "Out-B2 Veltrane");
    EXPECT_EQ(OutName(0, p5), "Out-A1 Veltrane");
    EXPECT_EQ(InName(1, p5), "In-B1 Veltrane");
    EXPECT_EQ(InName(0, p2), "In-A2 Veltrane");
}

TEST_F(Enumeration, OneInterfaceGivesNamesWithoutDigit) {
    vt::ServedNodes nodes{6};
    EXPECT_EQ(NTGetNumberInstances(), 1);
    HardwareInstance* p = modDevIdToHwInstance(0);
    ASSERT_EQ(p, DevNodeToHardwareInstance(6));
    EXPECT_EQ(OutName(0, p), "Out-A Veltrane");
    EXPECT_EQ(OutName(1, p), "Out-B Veltrane");
    EXPECT_EQ(InName(0, p), "In-A Veltrane");
    EXPECT_EQ(InName(1, p), "In-B Veltrane");
}

TEST_F(Enumeration, EveryProbeLooksAgain) {
    vt::ServedNodes nodes{0, 1, 7};
    EXPECT_EQ(NTGetNumberInstances(), 3);
    EXPECT_EQ(OutName(0, DevNodeToHardwareInstance(0)), "Out-A3 Veltrane");
    EXPECT_EQ(OutName(1, DevNodeToHardwareInstance(7)), "Out-B1 Veltrane");
    nodes.Unserve(1);
    EXPECT_EQ(NTGetNumberInstances(), 2);
    EXPECT_EQ(DevNodeToHardwareInstance(1)->fPresent, 0u);
    EXPECT_EQ(modDevIdToHwInstance(2), DevNodeToHardwareInstance(7));
    EXPECT_EQ(OutName(0, DevNodeToHardwareInstance(0)), "Out-A2 Veltrane");
}

TEST_F(Enumeration, OutputCapabilities) {
    vt::ServedNodes nodes{4};
    NTGetNumberInstances();
    MIDIOUTCAPSW caps;
    std::memset(&caps, 0xCC, sizeof caps);
    modGetDevCaps(1, DevNodeToHardwareInstance(4), &caps, sizeof caps);
    EXPECT_EQ(caps.wMid, kManufacturerId);
    EXPECT_EQ(caps.wPid, kProductId);
    EXPECT_EQ(caps.vDriverVersion, 0x410Du);
    EXPECT_EQ(caps.wTechnology, MOD_MIDIPORT);
    EXPECT_EQ(caps.wVoices, 0);
    EXPECT_EQ(caps.wNotes, 0);
    EXPECT_EQ(caps.wChannelMask, 0xFFFF);
    EXPECT_EQ(caps.dwSupport, 0u);
    // The rest of the name is zero-filled, not left as it was.
    for (size_t i = std::char_traits<char16_t>::length(caps.szPname); i < MAXPNAMELEN; ++i)
        EXPECT_EQ(caps.szPname[i], 0) << i;
}

TEST_F(Enumeration, CapabilityCopiesHonourTheCallersSize) {
    vt::ServedNodes nodes{4};
    NTGetNumberInstances();
    HardwareInstance* p = DevNodeToHardwareInstance(4);
    MIDIOUTCAPSW full{};
    modGetDevCaps(0, p, &full, sizeof full);
    for (DWORD cb : {0u, 1u, 6u, 20u, 83u, 84u}) {
        BYTE ab[128];
        std::memset(ab, 0xCC, sizeof ab);
        modGetDevCaps(0, p, ab, cb);
        EXPECT_EQ(std::memcmp(ab, &full, cb), 0) << cb;
        for (size_t i = cb; i < sizeof ab; ++i)
            ASSERT_EQ(ab[i], 0xCC) << "cb " << cb << " byte " << i;
    }
    // More room than the record: output fills its 84 bytes, input only 72.
    BYTE abOut[100], abIn[100];
    std::memset(abOut, 0xCC, sizeof abOut);
    std::memset(abIn, 0xCC, sizeof abIn);
    modGetDevCaps(0, p, abOut, sizeof abOut);
    midGetDevCaps(0, p, abIn, 76);
    EXPECT_EQ(std::memcmp(abOut, &full, 84), 0);
    EXPECT_EQ(abOut[84], 0xCC);
    MIDIINCAPSW in;
    std::memcpy(&in, abIn, sizeof in);
    EXPECT_EQ(vt::Narrow(in.szPname), "In-A Veltrane");
    EXPECT_EQ(in.vDriverVersion, 0x410Du);
    for (int i = 72; i < 100; ++i)
        EXPECT_EQ(abIn[i], 0xCC) << "input byte " << i;
}

}  // namespace
