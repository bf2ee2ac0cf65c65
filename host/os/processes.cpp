// Handles of other processes: OpenProcess, GetProcessTimes, and waiting for a
// process to end. A process is known by its id and its start time, so a
// handle never follows a later process that was given the same id: once the
// process it was opened on is gone (or a zombie), the handle is signalled.
//
// Everything comes from /proc/<pid>/stat: the state (field 3) and the start
// time in clock ticks since boot (field 22); /proc/stat's btime turns the
// latter into a wall-clock creation time.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "host/os/internal.h"

namespace vthost {
namespace {

struct ProcStat {
    char state = 0;
    uint64_t startTicks = 0;
};

// False when no such process exists (or its entry cannot be read).
bool ReadProcStat(DWORD pid, ProcStat* out) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return false;
    // The command name (field 2) is in parentheses and may hold anything,
    // parentheses and blanks included: the fields go on after the last ')'.
    size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 3) out->state = field[0];
        if (i == 22) {
            out->startTicks = std::strtoull(field.c_str(), nullptr, 10);
            return true;
        }
    }
    return false;
}

uint64_t BootTimeSeconds() {
    static const uint64_t btime = [] {
        std::ifstream in("/proc/stat");
        std::string key;
        uint64_t value = 0;
        while (in >> key)
            if (key == "btime" && in >> value) return value;
        return uint64_t{0};
    }();
    return btime;
}

class Process : public Object {
  public:
    Process(DWORD pid, uint64_t startTicks) : pid_(pid), startTicks_(startTicks) {}

    // Signalled once the process has ended: its entry gone, a zombie, or
    // another process under its id.
    bool Ended() const {
        ProcStat st;
        return !ReadProcStat(pid_, &st) || st.state == 'Z' || st.state == 'X' ||
               st.startTicks != startTicks_;
    }

    DWORD Wait(DWORD dwMilliseconds) override {
        DWORD dwStart = GetTickCount();
        for (;;) {
            if (Ended()) return WAIT_OBJECT_0;
            if (dwMilliseconds != INFINITE && GetTickCount() - dwStart >= dwMilliseconds)
                return WAIT_TIMEOUT;
            Sleep(1);
        }
    }

    FILETIME Creation() const {
        // 100 ns units since 1601, as Windows counts.
        constexpr uint64_t kUnixEpochIn1601 = 116444736000000000ull;
        uint64_t ticksPerSecond = static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
        if (ticksPerSecond == 0) ticksPerSecond = 100;
        uint64_t t = kUnixEpochIn1601 + BootTimeSeconds() * 10000000ull +
                     startTicks_ * 10000000ull / ticksPerSecond;
        return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    }

  private:
    DWORD pid_;
    uint64_t startTicks_;
};

}  // namespace
}  // namespace vthost

using namespace vthost;

extern "C" {

HANDLE WINAPI OpenProcess(DWORD, BOOL, DWORD dwProcessId) {
    ProcStat st;
    // As on Windows: no process of that id (one that has ended and been
    // reaped included) is an invalid parameter.
    if (dwProcessId == 0 || !ReadProcStat(dwProcessId, &st)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return AddHandle(std::make_shared<Process>(dwProcessId, st.startTicks));
}

BOOL WINAPI GetProcessTimes(HANDLE hProcess, LPFILETIME lpCreationTime, LPFILETIME lpExitTime,
                            LPFILETIME lpKernelTime, LPFILETIME lpUserTime) {
    auto process = HandleOfKind<Process>(hProcess);
    if (!process) return FALSE;
    // Only the creation time is kept; the others read as zero.
    if (lpCreationTime) *lpCreationTime = process->Creation();
    for (LPFILETIME p : {lpExitTime, lpKernelTime, lpUserTime})
        if (p) *p = FILETIME{0, 0};
    return TRUE;
}

}  // extern "C"
