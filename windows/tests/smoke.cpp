// Smoke test of the built veltrane.dll, loaded as the multimedia layer loads a
// driver: OpenDriver (DRV_LOAD, DRV_ENABLE, DRV_OPEN), then the entry points
// through GetProcAddress. The device files are whatever the Wine prefix
// offers: none, or links for nodes 2 and 5 to ordinary files, which open but
// do not answer the descriptor request (present, but not the interface).
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "include/veltrane.h"
#include "windows/tests/child.h"

namespace {

using MessageProc = DWORD(APIENTRY*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
using DriverProcFn = LRESULT(CALLBACK*)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);

// GetProcAddress answers a generic function pointer; void (*)() converts to
// any function type without complaint.
template <typename Fn>
Fn ProcAs(HMODULE hModule, const char* pszName) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, pszName)));
}

// The driver as this process opened it, once, for all tests.
struct Driver {
    HDRVR hDrvr = nullptr;
    HMODULE hModule = nullptr;
    DriverProcFn pfnDriverProc = nullptr;
    MessageProc pfnMod = nullptr;
    MessageProc pfnMid = nullptr;
};

Driver& OpenedDriver() {
    static Driver driver = [] {
        Driver d;
        d.hDrvr = OpenDriver(L"veltrane.dll", nullptr, 0);
        if (d.hDrvr == nullptr) return d;
        d.hModule = GetDriverModuleHandle(d.hDrvr);
        d.pfnDriverProc = ProcAs<DriverProcFn>(d.hModule, "DriverProc");
        d.pfnMod = ProcAs<MessageProc>(d.hModule, "modMessage");
        d.pfnMid = ProcAs<MessageProc>(d.hModule, "midMessage");
        return d;
    }();
    return driver;
}

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Driver& d = OpenedDriver();
        ASSERT_NE(d.hDrvr, nullptr) << "OpenDriver(veltrane.dll) failed";
        ASSERT_NE(d.pfnDriverProc, nullptr);
        ASSERT_NE(d.pfnMod, nullptr);
        ASSERT_NE(d.pfnMid, nullptr);
        mod = d.pfnMod;
        mid = d.pfnMid;
    }
    MessageProc mod = nullptr;
    MessageProc mid = nullptr;
};

// ---- DriverProc

struct DriverMessage {
    UINT uMsg;
    LPARAM lParam1, lParam2;
    bool fDefault;  // answered by DefDriverProc
    LRESULT lExpected;
};

const DriverMessage kDriverMessages[] = {
    {DRV_LOAD, 0, 0, false, 1},
    {DRV_OPEN, 0, 0, false, 1},
    {DRV_CLOSE, 0, 0, false, 1},
    {DRV_FREE, 0, 0, false, 1},
    {DRV_CONFIGURE, 0, 0, false, 0},
    {DRV_QUERYCONFIGURE, 0, 0, false, 0},
    {DRV_INSTALL, 0, 0, false, 1},
    {DRV_REMOVE, 0, 0, false, 1},
    {DRV_POWER, 0x1234, -1, false, 1},
    {11, 0, 0, true, 0},
    {16, 7, 9, true, 0},
    {DRV_USER, 1, 2, true, 0},
};

TEST_F(DriverTest, DriverProcAnswersItsTableAndPassesTheRestToDefDriverProc) {
    Driver& d = OpenedDriver();
    for (const DriverMessage& m : kDriverMessages) {
        SCOPED_TRACE("message " + std::to_string(m.uMsg));
        // The driver ID is what DRV_OPEN answered: 1.
        LRESULT lExpected =
            m.fDefault ? DefDriverProc(1, d.hDrvr, m.uMsg, m.lParam1, m.lParam2) : m.lExpected;
        EXPECT_EQ(SendDriverMessage(d.hDrvr, m.uMsg, m.lParam1, m.lParam2), lExpected);
        EXPECT_EQ(d.pfnDriverProc(1, d.hDrvr, m.uMsg, m.lParam1, m.lParam2), lExpected);
    }
}

// ---- ports

// Callback of every open below: counts what arrives.
LONG gcCallbacks = 0;
void CALLBACK CountingCallback(HDRVR, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    InterlockedIncrement(&gcCallbacks);
}

const DWORD_PTR kUntouchedUser = 0x5A5A5A5A;

// Opens device ID id of one direction with a function callback.
DWORD OpenPort(MessageProc proc, UINT uOpenMsg, UINT id, DWORD_PTR* pdwUser) {
    MIDIOPENDESC desc = {};
    desc.hMidi = reinterpret_cast<HMIDI>(static_cast<DWORD_PTR>(0x4321));
    desc.dwCallback = reinterpret_cast<DWORD_PTR>(&CountingCallback);
    desc.dwInstance = 77;
    return proc(id, uOpenMsg, reinterpret_cast<DWORD_PTR>(pdwUser),
                reinterpret_cast<DWORD_PTR>(&desc), CALLBACK_FUNCTION);
}

bool DeviceFileOpens(int node) {
    std::wstring path = L"\\\\.\\veltrane-" + std::to_wstring(node);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

// Only an exclusive open of the file behind the node shows that nobody,
// the driver included, still holds it.
bool DeviceFileFree(int node) {
    std::wstring path = L"\\\\.\\veltrane-" + std::to_wstring(node);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

class NoInterface : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        for (int node = 0; node < 8; ++node)
            ASSERT_FALSE(DeviceFileOpens(node)) << "a device file exists for node " << node;
    }
};

TEST_F(NoInterface, NoPortsAndEveryIdIsRefused) {
    EXPECT_EQ(mod(0, MODM_GETNUMDEVS, 0, 0, 0), 0u);
    EXPECT_EQ(mid(0, MIDM_GETNUMDEVS, 0, 0, 0), 0u);
    for (UINT id : {0u, 1u, 2u, 7u, 15u, 0xFFFFu}) {
        SCOPED_TRACE("id " + std::to_string(id));
        MIDIOUTCAPSW outCaps;
        MIDIINCAPSW inCaps;
        EXPECT_EQ(
            mod(id, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&outCaps), sizeof outCaps),
            DWORD(MMSYSERR_BADDEVICEID));
        EXPECT_EQ(mid(id, MIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&inCaps), sizeof inCaps),
                  DWORD(MMSYSERR_BADDEVICEID));
        DWORD_PTR dwUser = kUntouchedUser;
        EXPECT_EQ(OpenPort(mod, MODM_OPEN, id, &dwUser), DWORD(MMSYSERR_BADDEVICEID));
        EXPECT_EQ(OpenPort(mid, MIDM_OPEN, id, &dwUser), DWORD(MMSYSERR_BADDEVICEID));
        EXPECT_EQ(dwUser, kUntouchedUser);
        // A handle message acts on its handle, whatever the ID: without one
        // there is nothing to act on.
        EXPECT_EQ(mod(id, MODM_DATA, 0, 0x403C90, 0), DWORD(MMSYSERR_INVALHANDLE));
        EXPECT_EQ(mid(id, MIDM_START, 0, 0, 0), DWORD(MMSYSERR_INVALHANDLE));
    }
    EXPECT_EQ(gcCallbacks, 0);
}

// Nodes 2 and 5 are present: IDs 0-1 are node 2, 2-3 node 5.
class InterfacesOnNodes2And5 : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        for (int node = 0; node < 8; ++node)
            ASSERT_EQ(DeviceFileOpens(node), node == 2 || node == 5)
                << "expected device files for nodes 2 and 5 only; node " << node;
    }
};

// A port name as ASCII; at most the 32 characters of szPname.
std::string Narrow(const WCHAR* psz) {
    std::string s;
    for (int i = 0; i < MAXPNAMELEN && psz[i] != 0; ++i)
        s += static_cast<char>(psz[i]);
    return s;
}

TEST_F(InterfacesOnNodes2And5, FourPortsEachWayNamedInNodeOrder) {
    EXPECT_EQ(mod(0, MODM_GETNUMDEVS, 0, 0, 0), 4u);
    EXPECT_EQ(mid(0, MIDM_GETNUMDEVS, 0, 0, 0), 4u);
    const char* aszOut[] = {"Out-A2 Veltrane", "Out-B2 Veltrane", "Out-A1 Veltrane",
                            "Out-B1 Veltrane"};
    const char* aszIn[] = {"In-A2 Veltrane", "In-B2 Veltrane", "In-A1 Veltrane", "In-B1 Veltrane"};
    for (UINT id = 0; id < 4; ++id) {
        SCOPED_TRACE("id " + std::to_string(id));
        MIDIOUTCAPSW outCaps;
        memset(&outCaps, 0xCD, sizeof outCaps);
        ASSERT_EQ(
            mod(id, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&outCaps), sizeof outCaps),
            DWORD(MMSYSERR_NOERROR));
        EXPECT_EQ(Narrow(outCaps.szPname), aszOut[id]);
        EXPECT_EQ(outCaps.wMid, kManufacturerId);
        EXPECT_EQ(outCaps.wPid, kProductId);
        EXPECT_EQ(outCaps.vDriverVersion, vDriverVersion);
        EXPECT_EQ(outCaps.wTechnology, MOD_MIDIPORT);
        EXPECT_EQ(outCaps.wVoices, 0);
        EXPECT_EQ(outCaps.wNotes, 0);
        EXPECT_EQ(outCaps.wChannelMask, 0xFFFF);
        EXPECT_EQ(outCaps.dwSupport, 0u);

        MIDIINCAPSW inCaps;
        memset(&inCaps, 0xCD, sizeof inCaps);
        ASSERT_EQ(mid(id, MIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&inCaps), sizeof inCaps),
                  DWORD(MMSYSERR_NOERROR));
        EXPECT_EQ(Narrow(inCaps.szPname), aszIn[id]);
        EXPECT_EQ(inCaps.vDriverVersion, vDriverVersion);
    }
    MIDIOUTCAPSW caps;
    EXPECT_EQ(mod(4, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), sizeof caps),
              DWORD(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(mid(4, MIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), sizeof caps),
              DWORD(MMSYSERR_BADDEVICEID));
}

TEST_F(InterfacesOnNodes2And5, CapabilityCopiesHonourTheCallersSize) {
    // Output: only the first cbCaps bytes are written.
    for (DWORD cb : {0u, 2u, 9u, 40u, 83u}) {
        SCOPED_TRACE("output cbCaps " + std::to_string(cb));
        BYTE ab[100];
        memset(ab, 0xCD, sizeof ab);
        ASSERT_EQ(mod(1, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(ab), cb),
                  DWORD(MMSYSERR_NOERROR));
        MIDIOUTCAPSW full;
        mod(1, MODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&full), sizeof full);
        EXPECT_EQ(memcmp(ab, &full, cb), 0);
        for (DWORD i = cb; i < sizeof ab; ++i)
            ASSERT_EQ(ab[i], 0xCD) << "byte " << i;
    }
    // Input: the driver fills 72 bytes; a 76-byte record keeps bytes 72-75.
    BYTE ab[80];
    memset(ab, 0xCD, sizeof ab);
    ASSERT_EQ(mid(2, MIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(ab), 76),
              DWORD(MMSYSERR_NOERROR));
    EXPECT_EQ(Narrow(reinterpret_cast<MIDIINCAPSW*>(ab)->szPname), "In-A1 Veltrane");
    for (DWORD i = 72; i < sizeof ab; ++i)
        EXPECT_EQ(ab[i], 0xCD) << "byte " << i;
    memset(ab, 0xCD, sizeof ab);
    ASSERT_EQ(mid(2, MIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(ab), 5),
              DWORD(MMSYSERR_NOERROR));
    EXPECT_EQ(ab[5], 0xCD);
}

TEST_F(InterfacesOnNodes2And5, OpenFailsWithoutHoldingAnythingOrNotifying) {
    ASSERT_EQ(mod(0, MODM_GETNUMDEVS, 0, 0, 0), 4u);
    DWORD cHandlesBefore = 0;
    GetProcessHandleCount(GetCurrentProcess(), &cHandlesBefore);
    for (UINT id = 0; id < 4; ++id) {
        SCOPED_TRACE("id " + std::to_string(id));
        DWORD_PTR dwUser = kUntouchedUser;
        // The file opens but cannot answer the descriptor request.
        EXPECT_EQ(OpenPort(mod, MODM_OPEN, id, &dwUser), DWORD(MMSYSERR_ERROR));
        EXPECT_EQ(dwUser, kUntouchedUser);
        EXPECT_TRUE(DeviceFileFree(id < 2 ? 2 : 5));
        EXPECT_EQ(OpenPort(mid, MIDM_OPEN, id, &dwUser), DWORD(MMSYSERR_ERROR));
        EXPECT_EQ(dwUser, kUntouchedUser);
        EXPECT_TRUE(DeviceFileFree(id < 2 ? 2 : 5));
    }
    DWORD cHandlesAfter = 0;
    GetProcessHandleCount(GetCurrentProcess(), &cHandlesAfter);
    EXPECT_EQ(cHandlesAfter, cHandlesBefore);
    EXPECT_EQ(gcCallbacks, 0);
    // With nothing acquired, the handle messages of an unopened port refuse.
    EXPECT_EQ(mod(0, MODM_CLOSE, 0, 0, 0), DWORD(MMSYSERR_INVALHANDLE));
}

// ---- the shared data section of the image

struct SectionView {
    BYTE* p = nullptr;
    DWORD cb = 0;
    DWORD dwCharacteristics = 0;
};

SectionView SharedSectionOf(HMODULE hModule) {
    SectionView view;
    BYTE* pBase = reinterpret_cast<BYTE*>(hModule);
    auto* pDos = reinterpret_cast<IMAGE_DOS_HEADER*>(pBase);
    auto* pNt = reinterpret_cast<IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);
    IMAGE_SECTION_HEADER* pSection = IMAGE_FIRST_SECTION(pNt);
    for (WORD i = 0; i < pNt->FileHeader.NumberOfSections; ++i, ++pSection) {
        if (memcmp(pSection->Name, ".shared", 8) == 0) {
            view.p = pBase + pSection->VirtualAddress;
            view.cb = pSection->Misc.VirtualSize;
            view.dwCharacteristics = pSection->Characteristics;
        }
    }
    return view;
}

// The cRef word of node 3's output B block: a user count every process sees.
volatile uint32_t* SharedCount(const SectionView& view) {
    const size_t cbOffset =
        offsetof(SharedData, adwOut2MidiFifo) + 3 * kFifoBlockBytes + offsetof(MidiFifo, cRef);
    return reinterpret_cast<volatile uint32_t*>(view.p + cbOffset);
}

TEST_F(DriverTest, SharedSectionIsCommonToEveryProcessThatLoadsTheDriver) {
    SectionView view = SharedSectionOf(OpenedDriver().hModule);
    ASSERT_NE(view.p, nullptr) << "no .shared section in the loaded image";
    EXPECT_GE(view.cb, sizeof(SharedData));
    const DWORD dwRws = IMAGE_SCN_MEM_READ | IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_SHARED;
    EXPECT_EQ(view.dwCharacteristics & dwRws, dwRws);

    volatile uint32_t* pcRef = SharedCount(view);
    const uint32_t dwBefore = *pcRef;
    *pcRef = 0x1234;
    // The child loads the driver, expects to see the count and raises it.
    vtw::Child child("shared-count", "4660");
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(*pcRef, 0x1235u);
    *pcRef = dwBefore;
}

int ChildSharedCount(const std::string& arg) {
    Driver& d = OpenedDriver();
    if (d.hDrvr == nullptr) return 10;
    SectionView view = SharedSectionOf(d.hModule);
    if (view.p == nullptr) return 11;
    volatile uint32_t* pcRef = SharedCount(view);
    if (*pcRef != std::stoul(arg)) return 12;
    *pcRef = *pcRef + 1;
    CloseDriver(d.hDrvr, 0, 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    vtw::ChildArgs child = vtw::ParseChildArgs(argc, argv);
    if (child.name == "shared-count") return ChildSharedCount(child.arg);
    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    if (OpenedDriver().hDrvr != nullptr) CloseDriver(OpenedDriver().hDrvr, 0, 0);
    return result;
}
