// The ports winmm lists, and reporting winmm's failures.
#include "tools/ports.h"

#include <cstring>

namespace tools {
namespace {

// A 16-bit name as text (non-ASCII characters as '?').
std::string NarrowName(const WCHAR* psz, size_t cchMax) {
    std::string s;
    for (size_t i = 0; i < cchMax && psz[i]; ++i)
        s += psz[i] < 0x80 ? static_cast<char>(psz[i]) : '?';
    return s;
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

size_t PrintPortList(FILE* out) {
    std::vector<PortInfo> outs = OutputPorts(), ins = InputPorts();
    std::fprintf(out, "Dir ID  Name\n");
    for (const PortInfo& p : outs)
        std::fprintf(out, "OUT %-3u %s\n", p.id, p.name.c_str());
    for (const PortInfo& p : ins)
        std::fprintf(out, "IN  %-3u %s\n", p.id, p.name.c_str());
    return outs.size() + ins.size();
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

}  // namespace tools
