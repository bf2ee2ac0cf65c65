// A port named on the command line: by its ID, by its device node and port
// ("1:out-a"), or by part of its name (port_match.cpp). Plain text, no winmm:
// tested directly.
#pragma once

#include <string>
#include <vector>

namespace tools {

struct PortInfo {
    unsigned id = 0;  // the winmm device ID
    std::string name;
    bool output = true;
    int node = -1;        // device node 0 to 7 of a port of ours; -1 unknown or not ours
    unsigned letter = 0;  // of ours: 0 port A, 1 port B
    // "1:out-a" for a port whose device node is known, else "". Unlike the
    // name and the ID, it stays the same when another interface comes or goes.
    std::string Selector() const;
};

// Gives each port of ours (named "Out-A2 Veltrane" and so on) its device
// node: the k-th pair of them in ID order belongs to the k-th present node in
// ascending order, and the digit of its names counts the present nodes above
// it. When the names do not fit the nodes (an interface came or went between
// the two looks) every node stays unknown.
void AssignNodes(std::vector<PortInfo>* ports, const std::vector<unsigned>& presentNodes);

// A port by ID (all digits), by selector ("1:out-a", any case) or by a
// case-insensitive part of its name; a part that matches several names must
// match one of them whole. When wanted names none of ports but one of others
// (the ports of the other direction), *error says so.
bool FindPort(const std::vector<PortInfo>& ports, const std::string& wanted, PortInfo* found,
              std::string* error, const std::vector<PortInfo>& others = {});

}  // namespace tools
