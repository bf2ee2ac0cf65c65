// The ports winmm offers and what the subcommands say when winmm or the
// kernel side fails them (ports.cpp).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/port_match.h"
#include "tools/winmm.h"

namespace tools {

std::vector<PortInfo> OutputPorts();
std::vector<PortInfo> InputPorts();
// FindPort that says why it failed: "veltrane COMMAND: <why>" on stderr.
bool FindPortOrReport(const char* command, const std::vector<PortInfo>& ports,
                      const std::string& wanted, PortInfo* found);
// The port list of `veltrane list`; answers the number of ports.
size_t PrintPortList(FILE* out);
// "veltrane: midiOutOpen: <winmm's text> (4)" on stderr.
void ReportError(const char* call, MMRESULT r);
// Prints the one-line hint and answers false when no kernel side can answer.
bool KernelSideReady();

}  // namespace tools
