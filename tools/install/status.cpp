// `veltrane status`: what is installed, per width, and whether the driver
// answers when winmm loads it by its alias.
#include "tools/install/install.h"

#include <cstdio>

namespace install {
namespace {

std::string OwnPath() {
    WCHAR sz[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, sz, MAX_PATH);
    return Narrow(sz);
}

std::string VersionText(const std::wstring& native) {
    std::wstring version = FileVersion(native);
    return version.empty() ? "no version resource" : "version " + Narrow(version);
}

// Prints one width's part; answers whether all of it is in place. *plPorts
// gets the ports the driver reported when it was loaded here.
bool ShowSlot(const Slot& slot, const Record& record, bool fRecorded, long* plPorts) {
    bool fOk = true;
    std::printf("%s applications\n", WidthName(slot.bits).c_str());
    const std::wstring& recorded = record.AliasFor(slot.bits);
    std::wstring toTry;
    for (const Alias& a : ReadAliases(slot.samView)) {
        if (!a.Ours()) continue;
        bool fRecordedAlias = a.name == recorded;
        std::printf("  Drivers32: %s = %s%s\n", Narrow(a.name).c_str(), Narrow(a.text).c_str(),
                    fRecorded && !fRecordedAlias ? " (not written by veltrane install)" : "");
        if (toTry.empty() || fRecordedAlias) toTry = a.name;
    }
    if (fRecorded && recorded.empty()) {
        std::printf("  Drivers32: no alias recorded\n");
        fOk = false;
    } else if (fRecorded && !ReadAlias(slot.samView, recorded).Ours()) {
        std::printf("  Drivers32: %s, recorded, is %s\n", Narrow(recorded).c_str(),
                    ReadAlias(slot.samView, recorded).Shown().c_str());
        fOk = false;
    } else if (toTry.empty()) {
        std::printf("  Drivers32: no midi1...midi9 value names %s\n", Narrow(kDriverFile).c_str());
    }

    if (FileExists(slot.target)) {
        std::printf("  File:      %s, %s\n", Narrow(slot.target).c_str(),
                    VersionText(slot.target).c_str());
    } else {
        std::printf("  File:      %s is missing\n", Narrow(slot.target).c_str());
        fOk = false;
    }
    if (FileExists(StagedPath(slot.target)))
        std::printf("  File:      %s waits for a restart to take its place (%s)\n",
                    Narrow(StagedPath(slot.target)).c_str(),
                    VersionText(StagedPath(slot.target)).c_str());

    if (slot.bits != ProcessBits()) {
        std::printf(
            "  OpenDriver: not tried here; it loads into %s processes only (the %s "
            "veltrane.exe tries it)\n",
            WidthName(slot.bits).c_str(), WidthName(slot.bits).c_str());
    } else if (!toTry.empty()) {
        Probe probe = ProbeDriver(toTry);
        std::printf("  OpenDriver(\"%s\", \"Drivers32\"): ", Narrow(toTry).c_str());
        if (!probe.fOpened)
            std::printf("failed: winmm could not load it\n");
        else if (!probe.fDriverProc)
            std::printf("loaded %s, which lacks DriverProc, modMessage or midMessage\n",
                        Narrow(probe.module).c_str());
        else
            std::printf("loaded %s; DriverProc answers; %lu outputs, %lu inputs\n",
                        Narrow(probe.module).c_str(), static_cast<unsigned long>(probe.cOutputs),
                        static_cast<unsigned long>(probe.cInputs));
        fOk = fOk && probe.fDriverProc;
        if (probe.fDriverProc) *plPorts = static_cast<long>(probe.cOutputs + probe.cInputs);
    }
    return fOk;
}

}  // namespace

int Status() {
    std::printf("Command:    %s, %s, %s\n", OwnPath().c_str(), WidthName(ProcessBits()).c_str(),
                VersionText(Widen(OwnPath())).c_str());
    Record record;
    const bool fRecorded = ReadRecord(&record);
    if (fRecorded)
        std::printf("Install:    recorded under %s (version %s)\n", kRecordText,
                    Narrow(record.version).c_str());
    else
        std::printf("Install:    none recorded under %s\n", kRecordText);
    bool fOk = fRecorded;
    long lProbed = -1;  // not loaded here
    for (const Slot& slot : DriverSlots())
        fOk = ShowSlot(slot, record, fRecorded, &lProbed) && fOk;

    UINT cOutputs = 0, cInputs = 0;
    CountListedPorts(&cOutputs, &cInputs);
    std::printf("winmm lists %u outputs and %u inputs named \"... Veltrane\" to this process\n",
                cOutputs, cInputs);
    if (lProbed > 0 && cOutputs + cInputs == 0)
        std::printf(
            "  so winmm does not load the driver by itself here%s (see the Windows guide)\n",
            MidiServicesOn() ? ": Windows MIDI Services is on, and it may load no "
                               "Drivers32 driver at all"
                             : "");
    else if (lProbed == 0)
        std::printf(
            "  the driver finds no interface: is the interface maker's kernel driver "
            "installed, and the interface plugged in?\n");
    if (fOk)
        std::printf("Status:     all in place\n");
    else if (fRecorded)
        std::printf("Status:     something is missing: run veltrane repair as administrator\n");
    else
        std::printf("Status:     not installed: run veltrane install as administrator\n");
    return fOk ? 0 : 1;
}

}  // namespace install
