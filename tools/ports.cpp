// The ports winmm lists with their device nodes, and reporting failures.
#include "tools/ports.h"

#include <cstring>

#include "tools/device_nodes.h"
#include "tools/json.h"

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
std::vector<PortInfo> ListPorts(bool output, UINT n, GetCaps getCaps) {
    std::vector<PortInfo> ports;
    for (UINT id = 0; id < n; ++id) {
        Caps caps{};
        MMRESULT r = getCaps(id, &caps, sizeof caps);
        PortInfo p;
        p.id = id;
        p.output = output;
        p.name = r == MMSYSERR_NOERROR ? NarrowName(caps.szPname, MAXPNAMELEN)
                                       : "(unavailable: error " + std::to_string(r) + ")";
        ports.push_back(p);
    }
    AssignNodes(&ports, PresentNodes());
    return ports;
}

bool FindOrReport(const char* command, bool output, const std::string& wanted, PortInfo* found) {
    if (!KernelSideReady()) return false;
    std::vector<PortInfo> outs = OutputPorts(), ins = InputPorts();
    const std::vector<PortInfo>& ports = output ? outs : ins;
    const std::vector<PortInfo>& others = output ? ins : outs;
    std::string error;
    if (FindPort(ports, wanted, found, &error, others)) return true;
    std::fprintf(stderr, "veltrane %s: %s\n", command, error.c_str());
    return false;
}

std::vector<JsonObject> JsonPorts(const std::vector<PortInfo>& ports) {
    std::vector<JsonObject> list;
    for (const PortInfo& p : ports) {
        JsonObject o;
        o.Add("id", p.id).Add("name", p.name);
        if (p.node >= 0) {
            o.Add("node", p.node).Add("port", p.Selector());
        } else {
            o.AddNull("node").AddNull("port");
        }
        list.push_back(o);
    }
    return list;
}

}  // namespace

std::vector<PortInfo> OutputPorts() {
    return ListPorts<MIDIOUTCAPSW>(true, midiOutGetNumDevs(), midiOutGetDevCapsW);
}

std::vector<PortInfo> InputPorts() {
    return ListPorts<MIDIINCAPSW>(false, midiInGetNumDevs(), midiInGetDevCapsW);
}

bool FindOutputOrReport(const char* command, const std::string& wanted, PortInfo* found) {
    return FindOrReport(command, true, wanted, found);
}

bool FindInputOrReport(const char* command, const std::string& wanted, PortInfo* found) {
    return FindOrReport(command, false, wanted, found);
}

size_t PrintPortList(FILE* out, bool json) {
    std::vector<PortInfo> outs = OutputPorts(), ins = InputPorts();
    if (json) {
        JsonObject o;
        o.Add("outputs", JsonPorts(outs)).Add("inputs", JsonPorts(ins));
        std::fprintf(out, "%s\n", o.Text().c_str());
        return outs.size() + ins.size();
    }
    std::fprintf(out, "Dir ID  Node Port     Name\n");
    for (const std::vector<PortInfo>* list : {&outs, &ins}) {
        for (const PortInfo& p : *list) {
            std::string node = p.node >= 0 ? std::to_string(p.node) : "-";
            std::string selector = p.node >= 0 ? p.Selector() : "-";
            std::fprintf(out, "%s %-3u %-4s %-8s %s\n", p.output ? "OUT" : "IN ", p.id,
                         node.c_str(), selector.c_str(), p.name.c_str());
        }
    }
    return outs.size() + ins.size();
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

void ReportOpenError(const char* call, const PortInfo& port, MMRESULT r) {
    // The driver answers MMSYSERR_ERROR for every interface it cannot take,
    // and MMSYSERR_NOTENABLED when the interface would not start streaming:
    // the device file tells which it was.
    if (port.node >= 0 && (r == MMSYSERR_ERROR || r == MMSYSERR_NOTENABLED)) {
        std::string trouble = InterfaceTrouble(static_cast<unsigned>(port.node));
        if (!trouble.empty()) {
            std::fprintf(stderr, "veltrane: %s: %s\n", port.name.c_str(), trouble.c_str());
            return;
        }
        if (r == MMSYSERR_NOTENABLED) {
            std::fprintf(stderr,
                         "veltrane: %s: the interface on device node %d did not start streaming "
                         "(%s failed with %u)\n",
                         port.name.c_str(), port.node, call, r);
            return;
        }
    }
    ReportError(call, r);
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
