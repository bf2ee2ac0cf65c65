// The ports winmm offers, with the device node of each, and what the
// subcommands say when winmm, the driver or the interface fails them
// (ports.cpp).
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
// FindPort among the outputs or the inputs that says why it failed:
// "veltrane COMMAND: <why>" on stderr; first, that no kernel side answers
// (KernelSideReady).
bool FindOutputOrReport(const char* command, const std::string& wanted, PortInfo* found);
bool FindInputOrReport(const char* command, const std::string& wanted, PortInfo* found);
// The port list of `veltrane list`, as a table or as JSON; answers the
// number of ports.
size_t PrintPortList(FILE* out, bool json = false);
// "veltrane: midiOutOpen: <winmm's text> (4)" on stderr.
void ReportError(const char* call, MMRESULT r);
// An open of port that failed with r, in the user's terms where the driver's
// code says little: the interface behind the port gone, silent, or not one
// the driver takes; else as ReportError.
void ReportOpenError(const char* call, const PortInfo& port, MMRESULT r);
// Prints the one-line hint and answers false when no kernel side can answer.
bool KernelSideReady();

}  // namespace tools
