// Installing the driver on Windows: `veltrane install`, `uninstall`, `repair`
// and `status` (cmd_install.cpp) and what they stand on. Windows only: the
// Windows build of the command adds this folder (windows/CMakeLists.txt).
//
// What an install is: per width of the driver on the machine, the DLL in the
// system folder that processes of that width load drivers from, and a
// midi1...midi9 value naming it under Drivers32 in the registry view that
// processes of that width read; plus a record of both, so that uninstall
// removes exactly those and nothing of another driver's.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace install {

// ---------------------------------------------------------------- machine.cpp
// Used by every file here.

// One width of the driver on this machine.
struct Slot {
    int bits = 32;       // 32 or 64
    REGSAM samView = 0;  // KEY_WOW64_64KEY or KEY_WOW64_32KEY; 0 on 32-bit Windows
    std::wstring
        target;  // the installed DLL by its native path ("C:\Windows\System32\veltrane.dll")
};

// 64-bit Windows: the 64-bit slot (System32), then the 32-bit one
// (SysWOW64). 32-bit Windows: one 32-bit slot (System32).
std::vector<Slot> DriverSlots();
// "64-bit" or "32-bit".
std::string WidthName(int bits);
// "4.1.13": the driver's version (vDriverVersion) as its files show it.
std::wstring DriverVersion();
// The width of this process: 32 or 64.
int ProcessBits();
// The path this process opens for a native path: a 32-bit process on 64-bit
// Windows reaches the native System32 through Sysnative (System32 is
// redirected to SysWOW64 for it). Any other path is answered as it is.
std::wstring AccessPath(const std::wstring& native);
// The folder veltrane.exe runs from, with a trailing backslash.
std::wstring OwnFolder();
// A member of the Administrators group with that membership in force: an
// elevated process (not a filtered token under User Account Control).
bool RunsAsAdministrator();
// The system's text for an error code ("Access is denied."), or its number.
std::string ErrorText(DWORD dwError);
// Command-line and console text: the system's ANSI code page.
std::wstring Widen(const std::string& s);
std::string Narrow(const std::wstring& s);

// ---------------------------------------------------------------- drivers32.cpp
// Used by installer.cpp and status.cpp.

// The file every alias of ours names: processes of each width find it in
// their own system folder.
extern const wchar_t kDriverFile[];
// "HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Drivers32", for messages.
extern const char kDrivers32Text[];

// One midiN value of Drivers32 in one view.
struct Alias {
    std::wstring name;  // "midi3"
    bool fPresent = false;
    bool fString = false;  // REG_SZ or REG_EXPAND_SZ
    std::wstring text;     // the value, when a string
    // Absent, or an empty string: free for a driver.
    bool Free() const { return !fPresent || (fString && text.empty()); }
    // Names veltrane.dll (with or without a folder, in any case).
    bool Ours() const;
    // "veltrane.dll", "(absent)", "(empty)", "(not a string)".
    std::string Shown() const;
};

Alias ReadAlias(REGSAM samView, const std::wstring& name);
// midi1 to midi9 in order (never "midi": Windows' own synthesizer).
std::vector<Alias> ReadAliases(REGSAM samView);
// The alias to hold the driver in a view: one that already names it (the
// recorded one first), else the recorded one when it is free, else the first
// free one; empty when all nine hold other drivers.
std::wstring ChooseAlias(const std::vector<Alias>& aliases, const std::wstring& recorded);
LONG WriteAlias(REGSAM samView, const std::wstring& name, const std::wstring& text);
LONG DeleteAlias(REGSAM samView, const std::wstring& name);
// Puts a value back as it was: deleted when it was absent, rewritten when not.
LONG RestoreAlias(REGSAM samView, const Alias& before);
// Windows MIDI Services routes winmm to its own service ("midi1" =
// wdmaud2.drv, or MidiSrvTransferComplete = 1 in the native view).
bool MidiServicesOn();

// ---------------------------------------------------------------- record.cpp
// Used by installer.cpp and status.cpp.

// "HKLM\SOFTWARE\Veltrane\Install", for messages.
extern const char kRecordText[];

// What install did, under HKLM\SOFTWARE\Veltrane\Install in the native view.
struct Record {
    std::wstring alias64, alias32;    // the value names; empty when not used
    std::vector<std::wstring> files;  // native paths
    std::wstring version;             // of the command that wrote it
    std::wstring& AliasFor(int bits) { return bits == 64 ? alias64 : alias32; }
    const std::wstring& AliasFor(int bits) const { return bits == 64 ? alias64 : alias32; }
    bool Empty() const { return alias64.empty() && alias32.empty() && files.empty(); }
};

// False when there is no record.
bool ReadRecord(Record* record);
LONG WriteRecord(const Record& record);
// Removes the record's key, and SOFTWARE\Veltrane when nothing else is in it.
LONG DeleteRecord();

// ---------------------------------------------------------------- driver_files.cpp
// Used by installer.cpp and status.cpp. Paths are native; each call opens
// them through AccessPath.

bool FileExists(const std::wstring& native);
// The machine of a PE image (IMAGE_FILE_MACHINE_I386, _AMD64), or 0 when the
// file is not one. Takes a path as given by the user.
WORD ImageMachine(const std::wstring& path);
// A file as given by the user and a native path hold the same bytes.
bool SameContents(const std::wstring& path, const std::wstring& native);
// "4.1.13" from the file's version resource (a.b.c.d when d is not 0);
// empty when it has none.
std::wstring FileVersion(const std::wstring& native);
// Where a new copy of target waits until it can take its place.
std::wstring StagedPath(const std::wstring& target);

enum class FileResult {
    Done,       // done now
    AtRestart,  // the file is in use: done when Windows restarts
    Gone,       // (RemoveDriverFile) there was nothing to remove
    Failed,     // *pdwError says why
};
// Moves the staged copy over target; when target is in use (a running
// application has the driver loaded), leaves that move to the next restart.
FileResult PlaceStaged(const std::wstring& target, DWORD* pdwError);
// Deletes a file now, or at the next restart when it is in use.
FileResult RemoveDriverFile(const std::wstring& native, DWORD* pdwError);

// ---------------------------------------------------------------- driver_probe.cpp
// Used by status.cpp.

// What the driver named by an alias answers when winmm's OpenDriver loads it
// into this process.
struct Probe {
    bool fOpened = false;      // OpenDriver(alias, "Drivers32") succeeded
    std::wstring module;       // the file it loaded
    bool fDriverProc = false;  // the three exports are there
    DWORD cOutputs = 0, cInputs = 0;
};
Probe ProbeDriver(const std::wstring& alias);
// The ports winmm lists to this process whose names end in " Veltrane".
void CountListedPorts(UINT* pcOutputs, UINT* pcInputs);

// ---------------------------------------------------------------- installer.cpp
// Used by cmd_install.cpp. Each answers the exit status and prints what it
// did; errors go to stderr as "veltrane VERB: ...".

struct Sources {
    std::wstring dll32, dll64;  // the DLLs to copy
};
// install and repair: repair requires a record and otherwise does the same.
int Install(const Sources& sources, bool fRepair);
int Uninstall();

// ---------------------------------------------------------------- status.cpp
int Status();

}  // namespace install
