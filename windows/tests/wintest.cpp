// The test program's entry and shared pieces: child modes for the tests that
// need a second process, the device files, the registry fixture and the
// notification recorder.
#include "windows/tests/wintest.h"

namespace vtw {

std::vector<Note> gNotes;

void CALLBACK NoteCallback(HDRVR, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dw1, DWORD_PTR dw2) {
    gNotes.push_back({uMsg, dwInstance, dw1, dw2});
}

// dosdevices of the prefix, as a path Wine's Z: drive reaches.
static std::string DosDevicesDir() {
    const char* pszPrefix = getenv("WINEPREFIX");
    if (pszPrefix == nullptr || *pszPrefix != '/') return "";
    std::string dir = std::string("Z:") + pszPrefix + "/dosdevices";
    for (char& c : dir)
        if (c == '/') c = '\\';
    return dir;
}

DeviceFiles::DeviceFiles(const std::vector<int>& nodes) {
    std::string dir = DosDevicesDir();
    if (dir.empty()) return;
    ok_ = true;
    for (int node : nodes) {
        std::string path = dir + "\\veltrane-" + std::to_string(node);
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            ok_ = false;
            continue;
        }
        CloseHandle(h);
        paths_.push_back(path);
    }
}

DeviceFiles::~DeviceFiles() {
    for (const std::string& path : paths_)
        DeleteFileA(path.c_str());
}

void DriverFixture::SetUp() {
    ASSERT_EQ(DriverProc(0, nullptr, DRV_ENABLE, 0, 0), 1);
    gNotes.clear();
}

void DriverFixture::TearDown() {
    DriverProc(0, nullptr, DRV_DISABLE, 0, 0);
    EXPECT_EQ(pHardwareList, nullptr);
}

}  // namespace vtw

int main(int argc, char** argv) {
    vtw::ChildArgs child = vtw::ParseChildArgs(argc, argv);
    if (!child.name.empty()) return vtw::RunFifoLockChild(child);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
