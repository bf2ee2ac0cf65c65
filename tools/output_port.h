// An output port that offers again what the driver refuses for the moment
// (output_port.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "tools/winmm.h"

namespace tools {

// MIDIERR_NOTREADY: the ring is full or another send of the interface runs.
class OutputPort {
  public:
    OutputPort() = default;
    ~OutputPort() { Close(); }
    OutputPort(const OutputPort&) = delete;
    OutputPort& operator=(const OutputPort&) = delete;

    MMRESULT Open(UINT id);
    // Both report the failed call and answer its code.
    MMRESULT Short(DWORD packed);
    // Sends bytes as long messages of at most chunk bytes, calling progress
    // with the bytes sent so far after each.
    MMRESULT Long(const uint8_t* p, size_t n, size_t chunk = 256,
                  const std::function<void(size_t)>& progress = nullptr);
    // The driver's close waits until the interface has sent what the ring
    // still holds.
    MMRESULT Close();

  private:
    HMIDIOUT handle_ = nullptr;
};

}  // namespace tools
