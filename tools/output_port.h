// An output port that offers again what the driver refuses for the moment,
// and says so when the port takes nothing at all (output_port.cpp).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "tools/port_match.h"
#include "tools/stop_signal.h"
#include "tools/winmm.h"

namespace tools {

// What Short and Long answer when Ctrl-C stopped them: no winmm code.
constexpr MMRESULT kSendStopped = 0x7FFF;

// MIDIERR_NOTREADY: the ring is full or another send of the interface runs.
// A message the driver keeps refusing for kNoDrainMs, and long data it gave
// up on, mean that nothing leaves the port: the port is paused, or the
// stream behind it has ended. MMSYSERR_NODRIVER means that the interface was
// unplugged.
class OutputPort {
  public:
    static constexpr int kNoDrainMs = 1000;

    OutputPort() = default;
    ~OutputPort() { Close(); }
    OutputPort(const OutputPort&) = delete;
    OutputPort& operator=(const OutputPort&) = delete;

    MMRESULT Open(const PortInfo& port);
    // Both report a failure in the user's terms and answer its code, or
    // kSendStopped without a word once Ctrl-C was pressed.
    MMRESULT Short(DWORD packed);
    // Sends bytes as long messages of at most chunk bytes, calling progress
    // with the bytes sent so far after each.
    MMRESULT Long(const uint8_t* p, size_t n, size_t chunk = 256,
                  const std::function<void(size_t)>& progress = nullptr);
    // Makes a Short or Long running on another thread answer kSendStopped.
    void Cancel() { cancelled_ = true; }
    // From now on Ctrl-C stops no send: for what must still go out after it
    // (notes off).
    void IgnoreStopRequest() { ignoreStop_ = true; }
    // The driver's close waits until the interface has sent what the ring
    // still holds.
    MMRESULT Close();

  private:
    bool Stopped() const { return cancelled_ || (StopRequested() && !ignoreStop_); }
    void ReportNoDrain();
    // A send that failed with r: MMSYSERR_NODRIVER is the driver saying the
    // interface is gone.
    void ReportSendError(const char* call, MMRESULT r);
    HMIDIOUT handle_ = nullptr;
    std::string name_;
    int node_ = -1;
    std::atomic<bool> cancelled_{false};
    bool ignoreStop_ = false;
};

}  // namespace tools
