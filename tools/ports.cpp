// Finding ports, reporting winmm failures, and the stop request of Ctrl-C.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "tools/toolkit.h"

namespace tools {
namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

volatile std::sig_atomic_t gfStop = 0;
extern "C" void OnStopSignal(int) {
    gfStop = 1;
}

// One entry a device ID below n, named by the capabilities getCaps
// (midiOutGetDevCapsW or midiInGetDevCapsW) fills, or by its failure.
template <typename Caps, typename GetCaps>
std::vector<PortInfo> ListPorts(UINT n, GetCaps getCaps) {
    std::vector<PortInfo> ports;
    for (UINT id = 0; id < n; ++id) {
        Caps caps{};
        MMRESULT r = getCaps(id, &caps, sizeof caps);
        ports.push_back({id, r == MMSYSERR_NOERROR
                                 ? NarrowName(caps.szPname, MAXPNAMELEN)
                                 : "(unavailable: error " + std::to_string(r) + ")"});
    }
    return ports;
}

}  // namespace

std::vector<PortInfo> OutputPorts() {
    return ListPorts<MIDIOUTCAPSW>(midiOutGetNumDevs(), midiOutGetDevCapsW);
}

std::vector<PortInfo> InputPorts() {
    return ListPorts<MIDIINCAPSW>(midiInGetNumDevs(), midiInGetDevCapsW);
}

bool FindPort(const std::vector<PortInfo>& ports, const std::string& wanted, PortInfo* found,
              std::string* error) {
    if (wanted.empty()) {
        *error = "empty port name";
        return false;
    }
    if (std::all_of(wanted.begin(), wanted.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        for (const PortInfo& p : ports) {
            if (std::to_string(p.id) == wanted ||
                (wanted.size() < 10 && p.id == std::stoul(wanted))) {
                *found = p;
                return true;
            }
        }
        *error = "no port with ID " + wanted + " (there are " + std::to_string(ports.size()) + ")";
        return false;
    }
    std::string want = Lower(wanted);
    std::vector<const PortInfo*> matches;
    for (const PortInfo& p : ports)
        if (Lower(p.name).find(want) != std::string::npos) matches.push_back(&p);
    if (matches.size() > 1) {
        for (const PortInfo* p : matches) {
            if (Lower(p->name) == want) {
                *found = *p;
                return true;
            }
        }
        *error = "port name '" + wanted + "' is ambiguous:";
        for (const PortInfo* p : matches)
            *error += " '" + p->name + "'";
        return false;
    }
    if (matches.empty()) {
        *error = "no port matches '" + wanted + "'";
        return false;
    }
    *found = *matches.front();
    return true;
}

bool FindPortOrReport(const char* command, const std::vector<PortInfo>& ports,
                      const std::string& wanted, PortInfo* found) {
    std::string error;
    if (FindPort(ports, wanted, found, &error)) return true;
    std::fprintf(stderr, "veltrane %s: %s\n", command, error.c_str());
    return false;
}

void ReportError(const char* call, MMRESULT r) {
    WCHAR text[MAXERRORLENGTH] = {};
    bool input = std::strncmp(call, "midiIn", 6) == 0;
    MMRESULT t = input ? midiInGetErrorTextW(r, text, MAXERRORLENGTH)
                       : midiOutGetErrorTextW(r, text, MAXERRORLENGTH);
    std::string what = t == MMSYSERR_NOERROR ? NarrowName(text, MAXERRORLENGTH) : "Unknown error.";
    std::fprintf(stderr, "veltrane: %s: %s (%u)\n", call, what.c_str(), r);
    std::string detail = DriverLoadError();
    if (r == MMSYSERR_NODRIVER && !detail.empty())
        std::fprintf(stderr, "veltrane: %s\n", detail.c_str());
}

bool KernelSideReady() {
    std::string hint;
    if (KernelSideMissing(&hint)) {
        std::fprintf(stderr, "veltrane: %s\n", hint.c_str());
        return false;
    }
    return true;
}

void InstallStopHandler() {
    gfStop = 0;
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
}

bool StopRequested() {
    return gfStop != 0;
}

}  // namespace tools
