// The driver's files in the system folders: checks of what is there, the
// version resource, and replacing or deleting a file that a running
// application may have loaded.
#include "tools/install/install.h"

#include <cstring>

namespace install {
namespace {

std::vector<char> ReadAll(const std::wstring& path, bool* pfOk) {
    // Through a handle of our own: std::ifstream takes narrow paths only.
    std::vector<char> data;
    *pfOk = false;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return data;
    LARGE_INTEGER size;
    if (GetFileSizeEx(h, &size) && size.QuadPart < (1LL << 30)) {
        data.resize(static_cast<size_t>(size.QuadPart));
        DWORD cbRead = 0;
        *pfOk = data.empty() ||
                (ReadFile(h, data.data(), static_cast<DWORD>(data.size()), &cbRead, nullptr) &&
                 cbRead == data.size());
    }
    CloseHandle(h);
    return data;
}

// A file that a process has mapped as an image (a loaded DLL) refuses to be
// opened for writing, whatever the caller shares.
bool InUse(const std::wstring& native) {
    HANDLE h = CreateFileW(AccessPath(native).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return false;
    }
    DWORD dwError = GetLastError();
    return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_USER_MAPPED_FILE;
}

}  // namespace

bool FileExists(const std::wstring& native) {
    DWORD dwAttributes = GetFileAttributesW(AccessPath(native).c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

WORD ImageMachine(const std::wstring& path) {
    bool fOk;
    std::vector<char> data = ReadAll(path, &fOk);
    if (!fOk || data.size() < sizeof(IMAGE_DOS_HEADER)) return 0;
    IMAGE_DOS_HEADER dos;
    memcpy(&dos, data.data(), sizeof dos);
    const size_t cbNt = sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
        static_cast<size_t>(dos.e_lfanew) + cbNt > data.size())
        return 0;
    DWORD dwSignature;
    IMAGE_FILE_HEADER header;
    memcpy(&dwSignature, data.data() + dos.e_lfanew, sizeof dwSignature);
    memcpy(&header, data.data() + dos.e_lfanew + sizeof dwSignature, sizeof header);
    if (dwSignature != IMAGE_NT_SIGNATURE || !(header.Characteristics & IMAGE_FILE_DLL)) return 0;
    return header.Machine;
}

bool SameContents(const std::wstring& path, const std::wstring& native) {
    bool fOkA, fOkB;
    std::vector<char> a = ReadAll(path, &fOkA);
    std::vector<char> b = ReadAll(AccessPath(native), &fOkB);
    return fOkA && fOkB && a == b;
}

std::wstring FileVersion(const std::wstring& native) {
    std::wstring path = AccessPath(native);
    DWORD dwHandle = 0;
    DWORD cb = GetFileVersionInfoSizeW(path.c_str(), &dwHandle);
    if (cb == 0) return std::wstring();
    std::vector<BYTE> info(cb);
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT cbFixed = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, cb, info.data()) ||
        !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&pFixed), &cbFixed) ||
        cbFixed < sizeof(VS_FIXEDFILEINFO) || pFixed->dwSignature != VS_FFI_SIGNATURE)
        return std::wstring();
    std::wstring version = std::to_wstring(HIWORD(pFixed->dwFileVersionMS)) + L"." +
                           std::to_wstring(LOWORD(pFixed->dwFileVersionMS)) + L"." +
                           std::to_wstring(HIWORD(pFixed->dwFileVersionLS));
    if (LOWORD(pFixed->dwFileVersionLS) != 0)
        version += L"." + std::to_wstring(LOWORD(pFixed->dwFileVersionLS));
    return version;
}

std::wstring StagedPath(const std::wstring& target) {
    return target + L".new";
}

FileResult PlaceStaged(const std::wstring& target, DWORD* pdwError) {
    const std::wstring staged = StagedPath(target);
    if (MoveFileExW(AccessPath(staged).c_str(), AccessPath(target).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return FileResult::Done;
    *pdwError = GetLastError();
    if (!InUse(target)) return FileResult::Failed;
    // The move is done by Windows as it starts, before any process runs. It
    // takes native paths: what this process sees through Sysnative is
    // System32 then.
    if (MoveFileExW(staged.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
        return FileResult::AtRestart;
    *pdwError = GetLastError();
    return FileResult::Failed;
}

FileResult RemoveDriverFile(const std::wstring& native, DWORD* pdwError) {
    if (!FileExists(native)) return FileResult::Gone;
    if (DeleteFileW(AccessPath(native).c_str())) return FileResult::Done;
    *pdwError = GetLastError();
    if (!InUse(native)) return FileResult::Failed;
    if (MoveFileExW(native.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        return FileResult::AtRestart;
    *pdwError = GetLastError();
    return FileResult::Failed;
}

}  // namespace install
