// Test programs that run a second copy of themselves: the child mode, and a
// helper that starts a child, waits for it, and never leaves it running.
#pragma once

#include <windows.h>

#include <string>

namespace vtw {

// "prog.exe --child NAME ARG": the child's name and argument, or empty when
// this process is not a child.
struct ChildArgs {
    std::string name;
    std::string arg;
};
ChildArgs ParseChildArgs(int argc, char** argv);

// A copy of this program running as child NAME with ARG.
class Child {
  public:
    Child(const std::string& name, const std::string& arg = "");
    ~Child();  // terminates the child if it is still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pi_.hProcess != nullptr; }
    HANDLE process() const { return pi_.hProcess; }
    // Exit code, or -1 if the child did not finish within timeoutMs (it is
    // then terminated).
    long Wait(DWORD timeoutMs = 30000);
    void Terminate();

  private:
    PROCESS_INFORMATION pi_ = {};
};

// A named, manual-reset event this test and its children both open.
HANDLE NamedEvent(const std::string& name);

}  // namespace vtw
