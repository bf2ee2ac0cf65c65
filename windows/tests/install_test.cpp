// `veltrane install`, `repair`, `uninstall` and `status` on a Wine prefix, run
// by build-and-test.sh as
//     vt_install.exe PACKAGE
// PACKAGE is a folder holding veltrane.exe of this program's width and the
// two DLLs as veltrane32.dll and veltrane64.dll; the prefix links device
// nodes 2 and 5, so the driver reports four ports each way. Every test starts
// from Drivers32 as current Windows has it with one more driver - midi =
// wdmaud.drv, midi1 = wdmaud2.drv, midi2 another driver, in every registry
// view - and leaves the machine exactly as it found it.
#include <windows.h>
#include <mmsystem.h>
#include <mmddk.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "include/build_constants.h"

namespace {

const wchar_t kDrivers32[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
std::wstring gPackage;  // ends in a backslash

// One width of the driver on this machine.
struct Width {
    REGSAM samView;
    std::string name;     // "64-bit"
    std::wstring target;  // native path
    std::wstring access;  // the same file as this process opens it
    std::wstring source;  // in the package
};

std::vector<Width> Widths() {
    WCHAR sz[MAX_PATH];
    GetSystemWindowsDirectoryW(sz, MAX_PATH);
    const std::wstring windows = sz, file = L"\\veltrane.dll";
    if (GetSystemWow64DirectoryW(sz, MAX_PATH) == 0) {  // 32-bit Windows
        std::wstring target = windows + L"\\System32" + file;
        return {{KEY_WOW64_64KEY, "32-bit", target, target, gPackage + L"veltrane32.dll"}};
    }
    // A 32-bit process sees the native System32 as Sysnative.
    const wchar_t* pszSystem = sizeof(void*) == 8 ? L"\\System32" : L"\\Sysnative";
    const std::wstring wow64 = windows + L"\\SysWOW64" + file;
    return {{KEY_WOW64_64KEY, "64-bit", windows + L"\\System32" + file, windows + pszSystem + file,
             gPackage + L"veltrane64.dll"},
            {KEY_WOW64_32KEY, "32-bit", wow64, wow64, gPackage + L"veltrane32.dll"}};
}

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w)
        s += c < 0x80 ? static_cast<char>(c) : '?';
    return s;
}

// ---- the machine's state: every value and file the commands may touch

using State = std::map<std::string, std::string>;

std::string ValueText(DWORD dwType, const std::vector<BYTE>& data) {
    if (dwType == REG_SZ || dwType == REG_MULTI_SZ) {
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
        while (!text.empty() && text.back() == 0)
            text.pop_back();
        for (wchar_t& c : text)
            if (c == 0) c = L'|';
        return (dwType == REG_SZ ? "sz " : "multi ") + Narrow(text);
    }
    return "type " + std::to_string(dwType) + ", " + std::to_string(data.size()) + " bytes";
}

// The key as "(key)" and each value of it, under prefix.
void AddKey(State* state, const std::string& prefix, const wchar_t* pszKey, REGSAM samView,
            const wchar_t* pszOnly = nullptr) {
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_READ | samView, &hKey) != ERROR_SUCCESS)
        return;
    if (!pszOnly) (*state)[prefix] = "(key)";
    for (DWORD i = 0;; ++i) {
        WCHAR szName[256];
        DWORD cchName = 256, dwType = 0, cb = 0;
        if (RegEnumValueW(hKey, i, szName, &cchName, nullptr, &dwType, nullptr, &cb) !=
            ERROR_SUCCESS)
            break;
        if (pszOnly && lstrcmpiW(szName, pszOnly) != 0) continue;
        std::vector<BYTE> data(cb);
        RegQueryValueExW(hKey, szName, nullptr, &dwType, data.data(), &cb);
        (*state)[prefix + "\\" + Narrow(szName)] = ValueText(dwType, data);
    }
    RegCloseKey(hKey);
}

std::string FileText(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "(absent)";
    uint64_t hash = 14695981039346656037ull, size = 0;  // FNV-1a
    BYTE ab[65536];
    DWORD cb;
    while (ReadFile(h, ab, sizeof ab, &cb, nullptr) && cb > 0) {
        for (DWORD i = 0; i < cb; ++i)
            hash = (hash ^ ab[i]) * 1099511628211ull;
        size += cb;
    }
    CloseHandle(h);
    return std::to_string(size) + " bytes, " + std::to_string(hash);
}

State Snapshot() {
    State state;
    for (const Width& w : Widths()) {
        AddKey(&state, w.name + " Drivers32", kDrivers32, w.samView);
        state[Narrow(w.target)] = FileText(w.access);
        state[Narrow(w.target) + ".new"] = FileText(w.access + L".new");
    }
    AddKey(&state, "Veltrane", L"SOFTWARE\\Veltrane", KEY_WOW64_64KEY);
    AddKey(&state, "Veltrane\\Install", L"SOFTWARE\\Veltrane\\Install", KEY_WOW64_64KEY);
    AddKey(&state, "Session Manager", kSessionManager, KEY_WOW64_64KEY,
           L"PendingFileRenameOperations");
    return state;
}

// "what: before -> after" for every difference; empty when there is none.
std::string Diff(const State& before, const State& after) {
    std::string diff;
    State all = before;
    all.insert(after.begin(), after.end());
    for (const auto& [key, unused] : all) {
        auto b = before.find(key), a = after.find(key);
        std::string sb = b == before.end() ? "(none)" : b->second;
        std::string sa = a == after.end() ? "(none)" : a->second;
        if (sb != sa) diff += key + ": " + sb + " -> " + sa + "\n";
    }
    return diff;
}

LONG SetAlias(REGSAM samView, const wchar_t* pszName, const std::wstring& text) {
    HKEY hKey;
    LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, nullptr, 0, KEY_SET_VALUE | samView,
                             nullptr, &hKey, nullptr);
    if (r == ERROR_SUCCESS) {
        r = RegSetValueExW(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * 2));
        RegCloseKey(hKey);
    }
    return r;
}

void DeleteAlias(REGSAM samView, const wchar_t* pszName) {
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, KEY_SET_VALUE | samView, &hKey) ==
        ERROR_SUCCESS) {
        RegDeleteValueW(hKey, pszName);
        RegCloseKey(hKey);
    }
}

// ---- running the command

struct Outcome {
    DWORD dwExit = 0xFFFFFFFF;
    std::string out;  // stdout and stderr
};

// An administrator's token as User Account Control hands it out unelevated:
// the Administrators group is there for denying only.
HANDLE UnelevatedToken() {
    HANDLE hToken = nullptr, hRestricted = nullptr;
    BYTE abSid[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = sizeof abSid;
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, abSid, &cbSid);
    SID_AND_ATTRIBUTES disable = {abSid, 0};
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &hToken))
        CreateRestrictedToken(hToken, 0, 1, &disable, 0, nullptr, 0, nullptr, &hRestricted);
    if (hToken) CloseHandle(hToken);
    return hRestricted;
}

// The command's output goes to a file rather than a pipe: a process that
// Wine starts on the side (its desktop) may inherit the handle and outlive
// the command, and a pipe would then never report its end.
Outcome Veltrane(const std::wstring& args, const std::wstring& package = gPackage,
                 bool fUnelevated = false) {
    Outcome run;
    WCHAR szTemp[MAX_PATH], szFile[MAX_PATH];
    GetTempPathW(MAX_PATH, szTemp);
    GetTempFileNameW(szTemp, L"vt", 0, szFile);
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE hOut =
        CreateFileW(szFile, GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (hOut == INVALID_HANDLE_VALUE) return run;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = hOut;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + package + L"veltrane.exe\" " + args;
    HANDLE hToken = fUnelevated ? UnelevatedToken() : nullptr;
    BOOL fStarted = fUnelevated ? CreateProcessAsUserW(hToken, nullptr, &cmd[0], nullptr, nullptr,
                                                       TRUE, 0, nullptr, nullptr, &si, &pi)
                                : CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0,
                                                 nullptr, nullptr, &si, &pi);
    if (hToken) CloseHandle(hToken);
    if (fStarted) {
        if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) {
            TerminateProcess(pi.hProcess, 255);
            WaitForSingleObject(pi.hProcess, INFINITE);
            run.out = "(veltrane.exe did not finish within a minute)\n";
        }
        GetExitCodeProcess(pi.hProcess, &run.dwExit);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    SetFilePointer(hOut, 0, nullptr, FILE_BEGIN);
    char ab[4096];
    DWORD cb;
    while (ReadFile(hOut, ab, sizeof ab, &cb, nullptr) && cb > 0)
        for (DWORD i = 0; i < cb; ++i)
            if (ab[i] != '\r') run.out += ab[i];
    CloseHandle(hOut);
    return run;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// "4.1.13", decoded here on its own from vDriverVersion.
std::string VersionText() {
    return std::to_string(vDriverVersion >> 12) + "." + std::to_string((vDriverVersion >> 8) & 15) +
           "." + std::to_string(vDriverVersion & 255);
}

// ---- the tests

class Install : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const Width& w : Widths()) {
            ASSERT_EQ(SetAlias(w.samView, L"midi", L"wdmaud.drv"), ERROR_SUCCESS);
            ASSERT_EQ(SetAlias(w.samView, L"midi1", L"wdmaud2.drv"), ERROR_SUCCESS);
            ASSERT_EQ(SetAlias(w.samView, L"midi2", L"othersynth.dll"), ERROR_SUCCESS);
        }
        before_ = Snapshot();
        ASSERT_EQ(before_.count("Veltrane"), 0u) << "an install is left over";
    }
    void TearDown() override {
        Veltrane(L"uninstall");
        EXPECT_EQ(Diff(before_, Snapshot()), "") << "the test left this behind";
    }
    // What an install into midi3 of every view adds to before_.
    State Installed() const {
        State state = before_;
        std::string files;
        for (const Width& w : Widths()) {
            state[w.name + " Drivers32\\midi3"] = "sz veltrane.dll";
            state[Narrow(w.target)] = FileText(w.source);
            state["Veltrane\\Install\\Alias" + w.name.substr(0, 2)] = "sz midi3";
            files += (files.empty() ? "" : "|") + Narrow(w.target);
        }
        state["Veltrane"] = state["Veltrane\\Install"] = "(key)";
        state["Veltrane\\Install\\Files"] = "multi " + files;
        state["Veltrane\\Install\\Version"] = "sz " + VersionText();
        return state;
    }
    State before_;
};

TEST_F(Install, TakesTheFirstFreeAliasInEveryViewAndTouchesNothingElse) {
    Outcome run = Veltrane(L"install");
    ASSERT_EQ(run.dwExit, 0u) << run.out;
    for (const Width& w : Widths())
        EXPECT_TRUE(Has(run.out, w.name + " view: midi3 = veltrane.dll\n")) << run.out;
    EXPECT_EQ(Diff(Installed(), Snapshot()), "");

    // winmm loads it by that alias from this width's system folder.
    HDRVR hDrvr = OpenDriver(L"midi3", L"Drivers32", 0);
    ASSERT_NE(hDrvr, nullptr);
    HMODULE hModule = GetDriverModuleHandle(hDrvr);
    WCHAR szModule[MAX_PATH] = {}, szExpected[MAX_PATH] = {};
    GetModuleFileNameW(hModule, szModule, MAX_PATH);
    GetSystemDirectoryW(szExpected, MAX_PATH);
    lstrcatW(szExpected, L"\\veltrane.dll");
    EXPECT_EQ(lstrcmpiW(szModule, szExpected), 0) << Narrow(szModule);
    using MessageProc = DWORD(APIENTRY*)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    auto pfnMod = reinterpret_cast<MessageProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(hModule, "modMessage")));
    ASSERT_NE(pfnMod, nullptr);
    EXPECT_EQ(pfnMod(0, MODM_GETNUMDEVS, 0, 0, 0), 4u);
    EXPECT_NE(CloseDriver(hDrvr, 0, 0), 0);

    run = Veltrane(L"status");
    EXPECT_EQ(run.dwExit, 0u) << run.out;
    const std::string version = "version " + VersionText();
    EXPECT_TRUE(Has(run.out, ", " + version + "\n")) << run.out;  // the command's own
    for (const Width& w : Widths()) {
        EXPECT_TRUE(Has(run.out, w.name + " applications\n  Drivers32: midi3 = veltrane.dll\n"))
            << run.out;
        EXPECT_TRUE(Has(run.out, Narrow(w.target) + ", " + version + "\n")) << run.out;
    }
    EXPECT_TRUE(Has(run.out, "OpenDriver(\"midi3\", \"Drivers32\"): loaded " + Narrow(szExpected) +
                                 "; DriverProc answers; 4 outputs, 4 inputs"))
        << run.out;
}

TEST_F(Install, TwiceChangesNothingAndUninstallRestoresTheStateBefore) {
    ASSERT_EQ(Veltrane(L"install").dwExit, 0u);
    State installed = Snapshot();
    Outcome run = Veltrane(L"install");
    EXPECT_EQ(run.dwExit, 0u) << run.out;
    EXPECT_TRUE(Has(run.out, "nothing changed")) << run.out;
    EXPECT_EQ(Diff(installed, Snapshot()), "");

    for (int i = 0; i < 2; ++i) {
        run = Veltrane(L"uninstall");
        EXPECT_EQ(run.dwExit, 0u) << run.out;
        EXPECT_EQ(Diff(before_, Snapshot()), "") << "uninstall " << i + 1;
    }
    EXPECT_TRUE(Has(run.out, "Nothing to uninstall")) << run.out;
}

TEST_F(Install, RepairPutsBackADeletedFileAndValue) {
    ASSERT_EQ(Veltrane(L"install").dwExit, 0u);
    for (const Width& w : Widths()) {
        ASSERT_TRUE(DeleteFileW(w.access.c_str()));
        DeleteAlias(w.samView, L"midi3");
    }
    ASSERT_NE(Diff(Installed(), Snapshot()), "");
    EXPECT_EQ(Veltrane(L"status").dwExit, 1u);
    Outcome run = Veltrane(L"repair");
    EXPECT_EQ(run.dwExit, 0u) << run.out;
    EXPECT_EQ(Diff(Installed(), Snapshot()), "");
}

TEST_F(Install, ReusesAnAliasThatNamesTheDriverAlready) {
    const Width w = Widths().back();
    ASSERT_EQ(SetAlias(w.samView, L"midi5", L"VELTRANE.DLL"), ERROR_SUCCESS);
    Outcome run = Veltrane(L"install");
    EXPECT_EQ(run.dwExit, 0u) << run.out;
    EXPECT_TRUE(Has(run.out, w.name + " view: midi5 = veltrane.dll (already)\n")) << run.out;
    EXPECT_EQ(Snapshot().count(w.name + " Drivers32\\midi3"), 0u);
    // Uninstall removes it with the rest: it named this driver.
}

TEST_F(Install, RefusesAndChangesNothing) {
    // The first width's option given the other width's DLL.
    const Width first = Widths().front();
    const bool f64 = first.name == "64-bit";
    const std::wstring wrongWidth =
        std::wstring(f64 ? L"install --dll64 \"" : L"install --dll32 \"") + gPackage +
        (f64 ? L"veltrane32.dll\"" : L"veltrane64.dll\"");
    const struct {
        std::wstring args;
        bool fUnelevated;
        DWORD dwExit;
        std::string says;
    } cases[] = {
        {L"install", true, 1, "needs administrator rights"},
        {L"uninstall", true, 1, "needs administrator rights"},
        {L"repair", false, 1, "nothing to repair"},
        {wrongWidth, false, 1, "takes the " + first.name + " veltrane.dll"},
        {L"install --dll32 \"" + gPackage + L"missing.dll\"", false, 1, "not found"},
        {L"install --frobnicate", false, 2, "unexpected argument"},
    };
    for (const auto& c : cases) {
        Outcome run = Veltrane(c.args, gPackage, c.fUnelevated);
        EXPECT_EQ(run.dwExit, c.dwExit) << Narrow(c.args) << "\n" << run.out;
        EXPECT_TRUE(Has(run.out, c.says)) << Narrow(c.args) << "\n" << run.out;
        EXPECT_EQ(Diff(before_, Snapshot()), "") << Narrow(c.args);
    }
    // Installed, an unelevated uninstall leaves it so.
    ASSERT_EQ(Veltrane(L"install").dwExit, 0u);
    EXPECT_EQ(Veltrane(L"uninstall", gPackage, true).dwExit, 1u);
    EXPECT_EQ(Diff(Installed(), Snapshot()), "");
    ASSERT_EQ(Veltrane(L"uninstall").dwExit, 0u);

    // midi3 ... midi9 hold other drivers in one view.
    const Width last = Widths().back();
    for (wchar_t c = L'3'; c <= L'9'; ++c)
        SetAlias(last.samView, (L"midi" + std::wstring(1, c)).c_str(), L"busy.dll");
    State full = Snapshot();
    Outcome run = Veltrane(L"install");
    EXPECT_EQ(run.dwExit, 1u) << run.out;
    EXPECT_TRUE(Has(run.out, "no free MIDI alias in the " + last.name + " view")) << run.out;
    EXPECT_EQ(Diff(full, Snapshot()), "");
    for (wchar_t c = L'3'; c <= L'9'; ++c)
        DeleteAlias(last.samView, (L"midi" + std::wstring(1, c)).c_str());
}

// Running applications have the driver loaded: each new copy waits beside
// the file it replaces, and Windows is told to move it into place as it
// starts again - by native paths, whatever this process's width.
TEST_F(Install, ADriverInUseIsReplacedAtRestart) {
    ASSERT_EQ(Veltrane(L"install").dwExit, 0u);
    State expected = Snapshot();
    // This width's as winmm loads it; the other's mapped as an image, as a
    // process of that width would have it.
    HDRVR hDrvr = OpenDriver(L"midi3", L"Drivers32", 0);
    ASSERT_NE(hDrvr, nullptr);
    std::vector<HMODULE> images;
    for (const Width& w : Widths())
        images.push_back(LoadLibraryExW(w.access.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));

    // A package whose DLLs differ by a few bytes at their end.
    WCHAR szTemp[MAX_PATH];
    GetTempPathW(MAX_PATH, szTemp);
    const std::wstring newer = std::wstring(szTemp) + L"vt-newer\\";
    CreateDirectoryW(newer.c_str(), nullptr);
    const wchar_t* const apszFiles[] = {L"veltrane.exe", L"veltrane32.dll", L"veltrane64.dll"};
    for (const wchar_t* psz : apszFiles)
        ASSERT_TRUE(CopyFileW((gPackage + psz).c_str(), (newer + psz).c_str(), FALSE));
    for (const wchar_t* psz : {L"veltrane32.dll", L"veltrane64.dll"}) {
        HANDLE h = CreateFileW((newer + psz).c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING,
                               0, nullptr);
        DWORD cb;
        EXPECT_TRUE(WriteFile(h, "newer", 5, &cb, nullptr));
        CloseHandle(h);
    }

    Outcome run = Veltrane(L"install", newer);
    EXPECT_EQ(run.dwExit, 0u) << run.out;
    EXPECT_TRUE(Has(run.out, "restart Windows to finish")) << run.out;
    std::string pending;
    for (const Width& w : Widths()) {
        const std::string target = Narrow(w.target);
        expected[target + ".new"] = FileText(newer + w.source.substr(gPackage.size()));
        pending += (pending.empty() ? "" : "|") + ("\\??\\" + target + ".new|!\\??\\" + target);
    }
    expected["Session Manager\\PendingFileRenameOperations"] = "multi " + pending;
    EXPECT_EQ(Diff(expected, Snapshot()), "");
    EXPECT_TRUE(Has(Veltrane(L"status").out, Narrow(Widths().back().target) + ".new waits"));

    EXPECT_NE(CloseDriver(hDrvr, 0, 0), 0);
    for (HMODULE h : images)
        if (h) FreeLibrary(h);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
    for (const wchar_t* psz : apszFiles)
        DeleteFileW((newer + psz).c_str());
    RemoveDirectoryW(newer.c_str());
}

// The version resource of every file of the package.
TEST(VersionResource, Reads4_1_13FromVDriverVersion) {
    for (const wchar_t* psz : {L"veltrane.exe", L"veltrane32.dll", L"veltrane64.dll"}) {
        SCOPED_TRACE(Narrow(psz));
        std::wstring path = gPackage + psz;
        DWORD dwHandle = 0, cb = GetFileVersionInfoSizeW(path.c_str(), &dwHandle);
        ASSERT_GT(cb, 0u);
        std::vector<BYTE> info(cb);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, cb, info.data()));
        VS_FIXEDFILEINFO* pFixed = nullptr;
        UINT cbValue = 0;
        ASSERT_TRUE(
            VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&pFixed), &cbValue));
        EXPECT_EQ(pFixed->dwFileVersionMS, pFixed->dwProductVersionMS);
        EXPECT_EQ(std::to_string(HIWORD(pFixed->dwFileVersionMS)) + "." +
                      std::to_string(LOWORD(pFixed->dwFileVersionMS)) + "." +
                      std::to_string(HIWORD(pFixed->dwFileVersionLS)),
                  VersionText());
        EXPECT_EQ(LOWORD(pFixed->dwFileVersionLS), 0);
        const struct {
            const wchar_t* pszName;
            std::string value;
        } strings[] = {{L"FileVersion", VersionText()},
                       {L"ProductVersion", VersionText()},
                       {L"ProductName", "Veltrane MIDI driver"}};
        for (const auto& s : strings) {
            WCHAR* pszValue = nullptr;
            std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + s.pszName;
            ASSERT_TRUE(VerQueryValueW(info.data(), query.c_str(),
                                       reinterpret_cast<void**>(&pszValue), &cbValue));
            EXPECT_EQ(Narrow(pszValue), s.value) << Narrow(s.pszName);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: vt_install.exe PACKAGE-FOLDER [gtest options]\n");
        return 2;
    }
    WCHAR sz[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, sz, MAX_PATH);
    gPackage = sz;
    if (gPackage.back() != L'\\') gPackage += L'\\';
    return RUN_ALL_TESTS();
}
