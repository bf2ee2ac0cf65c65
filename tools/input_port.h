// An input port with buffers kept queued (input_port.cpp).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "tools/decode.h"
#include "tools/input_event.h"
#include "tools/port_match.h"
#include "tools/winmm.h"

namespace tools {

// The callback records events and hands filled buffers back; Wait gives the
// events to the caller's thread and queues those buffers again there (winmm
// forbids calls from the callback).
class InputPort {
  public:
    InputPort() = default;
    ~InputPort() { Close(); }
    InputPort(const InputPort&) = delete;
    InputPort& operator=(const InputPort&) = delete;

    // Opens, prepares and queues count buffers of size bytes, and starts.
    // On failure reports the failed call and answers its code.
    MMRESULT Open(const PortInfo& port, size_t bufferSize = 4096, size_t bufferCount = 16);
    // Waits up to timeoutMs for at least one event; appends what arrived.
    void Wait(std::vector<InputEvent>* out, int timeoutMs);
    // The same with system exclusive joined across buffers (SysexAssembler::
    // Join): a message still coming is held back.
    void WaitWhole(std::vector<InputEvent>* out, int timeoutMs);
    // A system-exclusive message has begun and not yet ended.
    bool SysexUnderWay() const { return sysex_.Pending(); }
    // Short messages (and errors) recorded so far.
    unsigned DataCount() const { return cData_.load(); }
    // Stops, resets, unprepares and closes; answers the first failure.
    MMRESULT Close();

  private:
    static void CALLBACK Callback(HMIDIIN h, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dw1,
                                  DWORD_PTR dw2);
    void Requeue();

    HMIDIIN handle_ = nullptr;
    std::vector<std::vector<char>> memory_;
    std::vector<MIDIHDR> headers_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<InputEvent> events_;  // under mutex_
    std::vector<MIDIHDR*> returned_;  // under mutex_
    std::atomic<bool> closing_{false};
    std::atomic<unsigned> cData_{0};
    SysexAssembler sysex_;  // WaitWhole's, on the waiting thread
};

}  // namespace tools
