// Finding a port by its ID or by part of its name.
#include "tools/port_match.h"

#include <algorithm>
#include <cctype>

namespace tools {
namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

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

}  // namespace tools
