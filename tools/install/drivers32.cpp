// The midiN values under Drivers32: winmm loads the driver each of midi,
// midi1 ... midi9 names, each process from the registry view of its width.
#include "tools/install/install.h"

namespace install {
namespace {

const wchar_t kDrivers32[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";

bool SameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

LONG OpenDrivers32(REGSAM samView, REGSAM samAccess, HKEY* phKey) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, samAccess | samView, phKey);
}

}  // namespace

const wchar_t kDriverFile[] = L"veltrane.dll";
const char kDrivers32Text[] = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";

bool Alias::Ours() const {
    if (!fString) return false;
    size_t slash = text.find_last_of(L"\\/");
    return SameText(slash == std::wstring::npos ? text : text.substr(slash + 1), kDriverFile);
}

std::string Alias::Shown() const {
    if (!fPresent) return "(absent)";
    if (!fString) return "(not a string)";
    if (text.empty()) return "(empty)";
    return Narrow(text);
}

Alias ReadAlias(REGSAM samView, const std::wstring& name) {
    Alias alias;
    alias.name = name;
    HKEY hKey;
    if (OpenDrivers32(samView, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) return alias;
    DWORD dwType = 0, cb = 0;
    if (RegQueryValueExW(hKey, name.c_str(), nullptr, &dwType, nullptr, &cb) == ERROR_SUCCESS) {
        alias.fPresent = true;
        alias.fString = dwType == REG_SZ || dwType == REG_EXPAND_SZ;
        if (alias.fString) {
            std::vector<WCHAR> buffer(cb / sizeof(WCHAR) + 1, 0);
            cb = static_cast<DWORD>(buffer.size() * sizeof(WCHAR));
            if (RegQueryValueExW(hKey, name.c_str(), nullptr, &dwType,
                                 reinterpret_cast<BYTE*>(buffer.data()), &cb) == ERROR_SUCCESS)
                alias.text = buffer.data();  // stored with or without its terminator
        }
    }
    RegCloseKey(hKey);
    return alias;
}

std::vector<Alias> ReadAliases(REGSAM samView) {
    std::vector<Alias> aliases;
    for (int i = 1; i <= 9; ++i)
        aliases.push_back(ReadAlias(samView, L"midi" + std::to_wstring(i)));
    return aliases;
}

std::wstring ChooseAlias(const std::vector<Alias>& aliases, const std::wstring& recorded) {
    const Alias* ours = nullptr;
    const Alias* free = nullptr;
    for (const Alias& a : aliases) {
        bool fRecorded = !recorded.empty() && SameText(a.name, recorded);
        if (a.Ours() && (!ours || fRecorded)) ours = &a;
        if (a.Free() && (!free || fRecorded)) free = &a;
    }
    if (ours) return ours->name;
    return free ? free->name : std::wstring();
}

LONG WriteAlias(REGSAM samView, const std::wstring& name, const std::wstring& text) {
    HKEY hKey;
    LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDrivers32, 0, nullptr, 0, KEY_SET_VALUE | samView,
                             nullptr, &hKey, nullptr);
    if (r != ERROR_SUCCESS) return r;
    r = RegSetValueExW(hKey, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(hKey);
    return r;
}

LONG DeleteAlias(REGSAM samView, const std::wstring& name) {
    HKEY hKey;
    LONG r = OpenDrivers32(samView, KEY_SET_VALUE, &hKey);
    if (r != ERROR_SUCCESS) return r;
    r = RegDeleteValueW(hKey, name.c_str());
    RegCloseKey(hKey);
    return r == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : r;
}

LONG RestoreAlias(REGSAM samView, const Alias& before) {
    if (!before.fPresent) return DeleteAlias(samView, before.name);
    return WriteAlias(samView, before.name, before.text);
}

bool MidiServicesOn() {
    HKEY hKey;
    // The native view; KEY_WOW64_64KEY means that on 32-bit Windows too.
    if (OpenDrivers32(KEY_WOW64_64KEY, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) return false;
    DWORD dwValue = 0, cb = sizeof dwValue, dwType = 0;
    bool fOn = RegQueryValueExW(hKey, L"MidiSrvTransferComplete", nullptr, &dwType,
                                reinterpret_cast<BYTE*>(&dwValue), &cb) == ERROR_SUCCESS &&
               dwType == REG_DWORD && dwValue == 1;
    RegCloseKey(hKey);
    Alias midi1 = ReadAlias(KEY_WOW64_64KEY, L"midi1");
    return fOn || (midi1.fString && SameText(midi1.text, L"wdmaud2.drv"));
}

}  // namespace install
