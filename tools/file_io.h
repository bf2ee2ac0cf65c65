// Files the command reads and writes whole (file_io.cpp): only regular
// files, never more than the command takes, and failures said as
// "cannot read FILE: REASON". Plain C++, no winmm: tested directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// The most any file the command reads may hold: a sysex dump, a MIDI file
// or a script (16 MiB, about 90 minutes of sysex at wire rate).
constexpr size_t kMaxFileBytes = 16u << 20;

// The bytes of the regular file at path, at most maxBytes of them.
bool ReadWholeFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>* bytes,
                   std::string* error);
// Writes bytes to path, replacing what it held: "cannot write FILE: REASON".
bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

}  // namespace tools
