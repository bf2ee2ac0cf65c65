// Starting and reaping copies of the running test program in a child mode.
#include "windows/tests/child.h"

#include <vector>

namespace vtw {

ChildArgs ParseChildArgs(int argc, char** argv) {
    ChildArgs args;
    if (argc >= 3 && std::string(argv[1]) == "--child") {
        args.name = argv[2];
        if (argc >= 4) args.arg = argv[3];
    }
    return args;
}

Child::Child(const std::string& name, const std::string& arg) {
    char szSelf[MAX_PATH];
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    std::string cmd = "\"" + std::string(szSelf) + "\" --child " + name + " " + arg;
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back(0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (!CreateProcessA(szSelf, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi_))
        pi_ = {};
}

Child::~Child() {
    Terminate();
}

long Child::Wait(DWORD timeoutMs) {
    if (pi_.hProcess == nullptr) return -1;
    if (WaitForSingleObject(pi_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        Terminate();
        return -1;
    }
    DWORD dwCode = 0;
    GetExitCodeProcess(pi_.hProcess, &dwCode);
    return static_cast<long>(dwCode);
}

void Child::Terminate() {
    if (pi_.hProcess == nullptr) return;
    TerminateProcess(pi_.hProcess, 255);
    WaitForSingleObject(pi_.hProcess, INFINITE);
    CloseHandle(pi_.hProcess);
    CloseHandle(pi_.hThread);
    pi_ = {};
}

HANDLE NamedEvent(const std::string& name) {
    return CreateEventA(nullptr, TRUE, FALSE, ("vt-test-" + name).c_str());
}

}  // namespace vtw
