// What this machine and this process are: the driver's widths and where each
// lives, the Sysnative view of System32, administrator rights, and text.
#include "tools/install/install.h"

#include "tools/version.h"

namespace install {
namespace {

bool Is64BitWindows() {
    if (sizeof(void*) == 8) return true;
    BOOL fWow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &fWow64) && fWow64;
}

// "C:\Windows" of the machine (not a per-user Windows folder).
std::wstring WindowsFolder() {
    WCHAR sz[MAX_PATH];
    UINT cch = GetSystemWindowsDirectoryW(sz, MAX_PATH);
    return cch > 0 && cch < MAX_PATH ? std::wstring(sz, cch) : L"C:\\Windows";
}

bool StartsWithFolder(const std::wstring& path, const std::wstring& folder) {
    return path.size() > folder.size() && path[folder.size()] == L'\\' &&
           CompareStringOrdinal(path.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::wstring DriverVersion() {
    return Widen(tools::DriverVersionText());
}

std::vector<Slot> DriverSlots() {
    const std::wstring windows = WindowsFolder();
    const std::wstring file = std::wstring(L"\\") + kDriverFile;
    if (!Is64BitWindows()) return {{32, 0, windows + L"\\System32" + file}};
    return {{64, KEY_WOW64_64KEY, windows + L"\\System32" + file},
            {32, KEY_WOW64_32KEY, windows + L"\\SysWOW64" + file}};
}

std::string WidthName(int bits) {
    return bits == 64 ? "64-bit" : "32-bit";
}

int ProcessBits() {
    return sizeof(void*) == 8 ? 64 : 32;
}

std::wstring AccessPath(const std::wstring& native) {
    if (ProcessBits() == 64 || !Is64BitWindows()) return native;
    const std::wstring windows = WindowsFolder();
    const std::wstring system32 = windows + L"\\System32";
    if (!StartsWithFolder(native, system32)) return native;
    return windows + L"\\Sysnative" + native.substr(system32.size());
}

std::wstring OwnFolder() {
    std::vector<WCHAR> buffer(MAX_PATH);
    DWORD cch;
    while ((cch = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()))) ==
           buffer.size())
        buffer.resize(buffer.size() * 2);
    std::wstring path(buffer.data(), cch);
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

bool RunsAsAdministrator() {
    BYTE abSid[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = sizeof abSid;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, abSid, &cbSid)) return false;
    // Under User Account Control an administrator's unelevated token holds
    // the group for denying only: CheckTokenMembership answers FALSE then.
    BOOL fMember = FALSE;
    return CheckTokenMembership(nullptr, abSid, &fMember) && fMember;
}

std::string ErrorText(DWORD dwError) {
    char* psz = nullptr;
    DWORD cch = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, dwError, 0, reinterpret_cast<char*>(&psz), 0, nullptr);
    std::string text = cch ? std::string(psz, cch) : "";
    if (psz) LocalFree(psz);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return (text.empty() ? "error" : text) + " (" + std::to_string(dwError) + ")";
}

std::wstring Widen(const std::string& s) {
    int cch = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(cch, L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &w[0], cch);
    return w;
}

std::string Narrow(const std::wstring& w) {
    int cb = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                 nullptr, nullptr);
    std::string s(cb, '\0');
    WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), &s[0], cb, nullptr,
                        nullptr);
    return s;
}

}  // namespace install
