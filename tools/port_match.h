// A port named on the command line: by its ID or by part of its name
// (port_match.cpp). Plain text, no winmm: tested directly.
#pragma once

#include <string>
#include <vector>

namespace tools {

struct PortInfo {
    unsigned id = 0;  // the winmm device ID
    std::string name;
};

// A port by ID (all digits) or by a case-insensitive part of its name; a part
// that matches several names must match one of them whole.
bool FindPort(const std::vector<PortInfo>& ports, const std::string& wanted, PortInfo* found,
              std::string* error);

}  // namespace tools
