// `veltrane install`, `repair` and `uninstall`. Install writes its record
// first, then stages every copy beside its target, then puts the copies in
// place, then writes the aliases; a step that fails undoes the ones before,
// so nothing is left half installed.
#include "tools/install/install.h"

#include <cstdio>

namespace install {
namespace {

// One width being installed.
struct Step {
    Slot slot;
    std::wstring source;
    Alias before;           // the chosen alias as it was
    bool fExisted = false;  // the target was there before
    bool fCopy = false;     // the target does not hold the source's bytes
    bool fStaged = false;   // its copy waits beside the target
    bool fPlaced = false;   // its copy took the target's place (now or at restart)
    FileResult placed = FileResult::Done;
    bool fAliasWritten = false;
};

void Fail(const char* verb, const std::string& what) {
    std::fprintf(stderr, "veltrane %s: %s\n", verb, what.c_str());
}

bool RequireAdministrator(const char* verb) {
    if (RunsAsAdministrator()) return true;
    Fail(verb,
         "needs administrator rights: open a command prompt with \"Run as administrator\" and "
         "run it there");
    return false;
}

std::string ViewText(const Slot& slot) {
    return WidthName(slot.bits) + " view";
}

bool CheckSource(const char* verb, const Step& s) {
    const WORD wWanted = s.slot.bits == 64 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
    const std::string option = s.slot.bits == 64 ? "--dll64" : "--dll32";
    const std::string source = Narrow(s.source);
    if (GetFileAttributesW(s.source.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Fail(verb, source + " not found (give the " + WidthName(s.slot.bits) +
                       " veltrane.dll with " + option + " PATH)");
        return false;
    }
    WORD wMachine = ImageMachine(s.source);
    if (wMachine == wWanted) return true;
    const char* pszIs = wMachine == IMAGE_FILE_MACHINE_I386    ? "a 32-bit DLL"
                        : wMachine == IMAGE_FILE_MACHINE_AMD64 ? "a 64-bit DLL"
                        : wMachine == 0                        ? "not a DLL"
                                                               : "a DLL for another processor";
    Fail(verb, source + " is " + pszIs + "; " + option + " takes the " + WidthName(s.slot.bits) +
                   " veltrane.dll");
    return false;
}

// Puts back what this run changed: the values it wrote, the files it added
// and the record as it was. Answers the files it replaced: they keep the new
// copy (the old one is gone), which the values as they were name all the same.
std::vector<std::wstring> Undo(std::vector<Step>& steps, const Record* previous) {
    std::vector<std::wstring> replaced;
    for (Step& s : steps) {
        if (s.fAliasWritten) RestoreAlias(s.slot.samView, s.before);
        if (s.fStaged) DeleteFileW(AccessPath(StagedPath(s.slot.target)).c_str());
        if (s.fPlaced && s.placed == FileResult::Done) {
            if (s.fExisted)
                replaced.push_back(s.slot.target);
            else
                DeleteFileW(AccessPath(s.slot.target).c_str());
        }
    }
    if (previous)
        WriteRecord(*previous);
    else
        DeleteRecord();
    return replaced;
}

// Undoes, then says what failed and what the undoing left.
int FailAndUndo(const char* verb, const std::string& what, std::vector<Step>& steps,
                const Record* previous) {
    std::vector<std::wstring> replaced = Undo(steps, previous);
    std::string text = what + "; undone";
    for (const std::wstring& file : replaced)
        text += " (" + Narrow(file) + " keeps its new copy)";
    Fail(verb, text);
    return 1;
}

}  // namespace

int Install(const Sources& sources, bool fRepair) {
    const char* verb = fRepair ? "repair" : "install";
    if (!RequireAdministrator(verb)) return 1;
    Record previous;
    const bool fRecorded = ReadRecord(&previous);
    if (fRepair && !fRecorded) {
        Fail(verb, std::string("nothing to repair: no install is recorded under ") + kRecordText +
                       " (run veltrane install)");
        return 1;
    }

    std::vector<Step> steps;
    Record record;
    record.version = DriverVersion();
    for (const Slot& slot : DriverSlots()) {
        Step s;
        s.slot = slot;
        s.source = slot.bits == 64 ? sources.dll64 : sources.dll32;
        if (!CheckSource(verb, s)) return 1;
        std::wstring alias = ChooseAlias(ReadAliases(slot.samView), previous.AliasFor(slot.bits));
        if (alias.empty()) {
            Fail(verb, "no free MIDI alias in the " + ViewText(slot) + " of " + kDrivers32Text +
                           ": midi1 to midi9 all name other drivers");
            return 1;
        }
        s.before = ReadAlias(slot.samView, alias);
        s.fExisted = FileExists(slot.target);
        s.fCopy = !s.fExisted || !SameContents(s.source, slot.target);
        record.AliasFor(slot.bits) = alias;
        record.files.push_back(slot.target);
        steps.push_back(s);
    }

    // The record first: whatever happens from here on, uninstall finds what
    // to remove.
    const Record* pPrevious = fRecorded ? &previous : nullptr;
    if (LONG r = WriteRecord(record))
        return FailAndUndo(verb, std::string("writing ") + kRecordText + ": " + ErrorText(r), steps,
                           pPrevious);
    // Every copy is made before any takes its place: a copy that fails (a
    // full disk, a source that cannot be read) changes no installed file.
    for (Step& s : steps) {
        if (!s.fCopy) continue;
        const std::wstring staged = StagedPath(s.slot.target);
        if (!CopyFileW(s.source.c_str(), AccessPath(staged).c_str(), FALSE)) {
            DWORD dwError = GetLastError();
            return FailAndUndo(
                verb,
                "copying " + Narrow(s.source) + " to " + Narrow(staged) + ": " + ErrorText(dwError),
                steps, pPrevious);
        }
        s.fStaged = true;
    }
    for (Step& s : steps) {
        if (!s.fCopy) continue;
        DWORD dwError = 0;
        s.placed = PlaceStaged(s.slot.target, &dwError);
        if (s.placed == FileResult::Failed)
            return FailAndUndo(verb,
                               "replacing " + Narrow(s.slot.target) + ": " + ErrorText(dwError),
                               steps, pPrevious);
        s.fPlaced = true;
        s.fStaged = s.placed == FileResult::AtRestart;
    }
    for (Step& s : steps) {
        if (s.before.Ours()) continue;
        if (LONG r = WriteAlias(s.slot.samView, s.before.name, kDriverFile))
            return FailAndUndo(verb,
                               "writing " + Narrow(s.before.name) + " in the " + ViewText(s.slot) +
                                   " of " + kDrivers32Text + ": " + ErrorText(r),
                               steps, pPrevious);
        s.fAliasWritten = true;
    }

    bool fRestart = false, fChanged = false;
    std::printf("Veltrane MIDI driver %s\n", Narrow(DriverVersion()).c_str());
    for (const Step& s : steps) {
        const std::string target = Narrow(s.slot.target);
        if (!s.fCopy) {
            std::printf("  %s is up to date\n", target.c_str());
        } else if (s.placed == FileResult::Done) {
            std::printf("  copied %s to %s\n", Narrow(s.source).c_str(), target.c_str());
        } else {
            std::printf("  %s is in use: the new copy takes its place when Windows restarts\n",
                        target.c_str());
            fRestart = true;
        }
        fChanged = fChanged || s.fCopy || s.fAliasWritten;
    }
    for (const Step& s : steps)
        std::printf("  %s: %s = %s%s\n", ViewText(s.slot).c_str(), Narrow(s.before.name).c_str(),
                    Narrow(kDriverFile).c_str(), s.fAliasWritten ? "" : " (already)");
    if (fRestart)
        std::printf(
            "%s; restart Windows to finish: running MIDI applications have the old "
            "driver loaded.\n",
            fRepair ? "Repaired" : "Installed");
    else if (!fChanged)
        std::printf(fRepair ? "Nothing was missing: nothing changed.\n"
                            : "Installed already: nothing changed.\n");
    else
        std::printf(
            "%s. MIDI applications started from now on find its ports (veltrane status, "
            "veltrane list).\n",
            fRepair ? "Repaired" : "Installed");
    return 0;
}

int Uninstall() {
    const char* verb = "uninstall";
    if (!RequireAdministrator(verb)) return 1;
    Record record;
    if (!ReadRecord(&record)) {
        std::printf("Nothing to uninstall: no install is recorded under %s.\n", kRecordText);
        return 0;
    }
    std::printf("Veltrane MIDI driver %s\n", Narrow(record.version).c_str());
    // What could not be removed stays in the record, for another try.
    Record left;
    left.version = record.version;
    bool fRestart = false;
    for (const Slot& slot : DriverSlots()) {
        const std::wstring& name = record.AliasFor(slot.bits);
        if (name.empty()) continue;
        const std::string view = ViewText(slot), shown = Narrow(name);
        Alias alias = ReadAlias(slot.samView, name);
        if (!alias.Ours()) {
            if (alias.Free())
                std::printf("  %s: %s was removed already\n", view.c_str(), shown.c_str());
            else
                std::printf("  %s: %s now names %s: left alone\n", view.c_str(), shown.c_str(),
                            alias.Shown().c_str());
        } else if (LONG r = DeleteAlias(slot.samView, name)) {
            Fail(verb, "removing " + shown + " from the " + view + ": " + ErrorText(r));
            left.AliasFor(slot.bits) = name;
        } else {
            std::printf("  %s: removed %s\n", view.c_str(), shown.c_str());
        }
    }
    for (const std::wstring& file : record.files) {
        DWORD dwError = 0;
        // A copy that was waiting for a restart goes first.
        RemoveDriverFile(StagedPath(file), &dwError);
        const std::string shown = Narrow(file);
        switch (RemoveDriverFile(file, &dwError)) {
            case FileResult::Done:
                std::printf("  deleted %s\n", shown.c_str());
                break;
            case FileResult::Gone:
                std::printf("  %s was deleted already\n", shown.c_str());
                break;
            case FileResult::AtRestart:
                std::printf("  %s is in use: deleted when Windows restarts\n", shown.c_str());
                fRestart = true;
                break;
            case FileResult::Failed:
                Fail(verb, "deleting " + shown + ": " + ErrorText(dwError));
                left.files.push_back(file);
                break;
        }
    }
    if (!left.Empty()) {
        WriteRecord(left);
        Fail(verb, std::string("what could not be removed stays recorded under ") + kRecordText +
                       ": run veltrane uninstall again");
        return 1;
    }
    if (LONG r = DeleteRecord()) {
        Fail(verb, std::string("removing ") + kRecordText + ": " + ErrorText(r));
        return 1;
    }
    std::printf(fRestart ? "Uninstalled; restart Windows to finish.\n" : "Uninstalled.\n");
    return 0;
}

}  // namespace install
