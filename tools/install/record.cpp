// The install record: HKLM\SOFTWARE\Veltrane\Install, always in the native
// registry view, so that the 32-bit and the 64-bit command share it.
#include "tools/install/install.h"

namespace install {
namespace {

const wchar_t kParentKey[] = L"SOFTWARE\\Veltrane";
const wchar_t kRecordKey[] = L"SOFTWARE\\Veltrane\\Install";
const REGSAM kNativeView = KEY_WOW64_64KEY;  // ignored on 32-bit Windows

// A REG_SZ or REG_MULTI_SZ value as its strings; empty when absent.
std::vector<std::wstring> ReadStrings(HKEY hKey, const wchar_t* pszName) {
    DWORD dwType = 0, cb = 0;
    if (RegQueryValueExW(hKey, pszName, nullptr, &dwType, nullptr, &cb) != ERROR_SUCCESS ||
        (dwType != REG_SZ && dwType != REG_MULTI_SZ))
        return {};
    std::vector<WCHAR> buffer(cb / sizeof(WCHAR) + 2, 0);
    cb = static_cast<DWORD>((buffer.size() - 2) * sizeof(WCHAR));
    if (RegQueryValueExW(hKey, pszName, nullptr, &dwType, reinterpret_cast<BYTE*>(buffer.data()),
                         &cb) != ERROR_SUCCESS)
        return {};
    std::vector<std::wstring> strings;
    for (const WCHAR* p = buffer.data(); *p; p += wcslen(p) + 1)
        strings.emplace_back(p);
    return strings;
}

LONG WriteStrings(HKEY hKey, const wchar_t* pszName, DWORD dwType,
                  const std::vector<std::wstring>& strings) {
    std::wstring data;
    for (const std::wstring& s : strings)
        data += s + L'\0';
    if (dwType == REG_MULTI_SZ) data += L'\0';
    if (data.empty()) data = L'\0';
    return RegSetValueExW(hKey, pszName, 0, dwType, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size() * sizeof(WCHAR)));
}

}  // namespace

const char kRecordText[] = "HKLM\\SOFTWARE\\Veltrane\\Install";

bool ReadRecord(Record* record) {
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_QUERY_VALUE | kNativeView, &hKey) !=
        ERROR_SUCCESS)
        return false;
    auto first = [&](const wchar_t* pszName) {
        std::vector<std::wstring> v = ReadStrings(hKey, pszName);
        return v.empty() ? std::wstring() : v.front();
    };
    *record = Record();
    record->alias64 = first(L"Alias64");
    record->alias32 = first(L"Alias32");
    record->files = ReadStrings(hKey, L"Files");
    record->version = first(L"Version");
    RegCloseKey(hKey);
    return true;
}

LONG WriteRecord(const Record& record) {
    HKEY hKey;
    LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, 0,
                             KEY_SET_VALUE | kNativeView, nullptr, &hKey, nullptr);
    if (r != ERROR_SUCCESS) return r;
    const struct {
        const wchar_t* pszName;
        const std::wstring& value;
    } strings[] = {
        {L"Alias64", record.alias64}, {L"Alias32", record.alias32}, {L"Version", record.version}};
    for (const auto& s : strings) {
        if (r != ERROR_SUCCESS) break;
        r = s.value.empty() ? RegDeleteValueW(hKey, s.pszName)
                            : WriteStrings(hKey, s.pszName, REG_SZ, {s.value});
        if (r == ERROR_FILE_NOT_FOUND) r = ERROR_SUCCESS;
    }
    if (r == ERROR_SUCCESS) r = WriteStrings(hKey, L"Files", REG_MULTI_SZ, record.files);
    RegCloseKey(hKey);
    return r;
}

LONG DeleteRecord() {
    LONG r = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, kNativeView, 0);
    if (r == ERROR_FILE_NOT_FOUND) r = ERROR_SUCCESS;
    // The parent goes too, unless something else lives in it.
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParentKey, 0, KEY_QUERY_VALUE | kNativeView, &hKey) ==
        ERROR_SUCCESS) {
        DWORD cSubKeys = 1, cValues = 1;
        RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr, &cValues,
                         nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(hKey);
        if (cSubKeys == 0 && cValues == 0)
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kParentKey, kNativeView, 0);
    }
    return r;
}

}  // namespace install
