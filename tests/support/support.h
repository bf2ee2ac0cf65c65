// Test support shared by every test program: the fresh object root each test
// process runs under, small helpers for bytes and other processes, and the
// one way to wait for a state that nothing signals.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/os/win32_base.h"

namespace vt {

// The object root of this test process: a fresh directory made before any
// test runs, exported as VELTRANE_ROOT, removed with everything in it at exit.
const std::string& TestRoot();

// "90 3C 40" -> bytes; throws std::invalid_argument on anything else.
std::vector<BYTE> Hex(const std::string& text);
// Bytes -> "90 3C 40".
std::string HexString(const BYTE* p, size_t cb);
inline std::string HexString(const std::vector<BYTE>& v) {
    return HexString(v.data(), v.size());
}

// Wide string (the driver's 16-bit or the client's wchar_t WCHAR) -> ASCII
// for assertions, '?' for anything else.
std::string Narrow(const char16_t* psz);
std::string Narrow(const wchar_t* psz);

// Waits until done() holds, looking again about every millisecond; false when
// it still does not after timeoutMs, a bound only a fault reaches. Only for
// states that nothing signals (memory another thread or process writes); what
// the simulator counts is awaited with Simulator::Await, an event with
// WaitForSingleObject.
bool Eventually(const std::function<bool()>& done, int timeoutMs = 10000);

// A child process started from argv; killed (SIGKILL) and reaped when the
// object goes away, so no test leaves a process behind.
class ChildProcess {
  public:
    ChildProcess() = default;
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;

    int pid() const { return pid_; }
    // Line-based conversation over the child's stdin/stdout.
    void Send(const std::string& line);
    std::string ReadLine(int timeoutMs = 20000);
    // Send a line and return the answer line.
    std::string Ask(const std::string& line) {
        Send(line);
        return ReadLine();
    }
    // The whole lines the child has written so far, without waiting; false
    // once it has closed its output and every line was handed out.
    bool ReadAvailable(std::vector<std::string>* lines);
    int OutputFd() const { return out_; }
    void Kill();
    // Waits for the child to exit (on its process descriptor); answers its
    // exit status, or -1 when killed by a signal or not exited within
    // timeoutMs (it is then killed).
    int Wait(int timeoutMs = 20000);

  private:
    int pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffered_;
};

// Path of a program built beside the tests (for example "tests/core/vt_peer").
std::string BuiltProgram(const std::string& relative);

// Number of file descriptors open in this process.
int OpenDescriptorCount();

}  // namespace vt
