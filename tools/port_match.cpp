// Finding a port by its ID, its device node and port, or part of its name;
// and which device node each port of ours belongs to.
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

// "Out-A2 Veltrane" -> output, port A, digit 2 (0 when the name has none).
bool ParseOurName(const std::string& name, bool* output, unsigned* letter, unsigned* digit) {
    const std::string kSuffix = " Veltrane";
    size_t at = 0;
    if (name.rfind("Out-", 0) == 0) {
        *output = true;
        at = 4;
    } else if (name.rfind("In-", 0) == 0) {
        *output = false;
        at = 3;
    } else {
        return false;
    }
    if (at >= name.size() || (name[at] != 'A' && name[at] != 'B')) return false;
    *letter = name[at] == 'B';
    ++at;
    *digit = 0;
    if (at < name.size() && name[at] >= '1' && name[at] <= '8') *digit = unsigned(name[at++] - '0');
    return name.compare(at, std::string::npos, kSuffix) == 0;
}

// "1:out-a" -> node 1, output, port A.
bool ParseSelector(const std::string& text, unsigned* node, bool* output, unsigned* letter) {
    std::string s = Lower(text);
    if (s.size() < 6 || s[0] < '0' || s[0] > '7' || s[1] != ':') return false;
    *node = unsigned(s[0] - '0');
    std::string rest = s.substr(2);
    if (rest == "out-a" || rest == "out-b" || rest == "in-a" || rest == "in-b") {
        *output = rest[0] == 'o';
        *letter = rest.back() == 'b';
        return true;
    }
    return false;
}

bool FindIn(const std::vector<PortInfo>& ports, const std::string& wanted, PortInfo* found,
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
    unsigned node = 0, letter = 0;
    bool output = false;
    if (ParseSelector(wanted, &node, &output, &letter)) {
        for (const PortInfo& p : ports) {
            if (p.node == int(node) && p.output == output && p.letter == letter) {
                *found = p;
                return true;
            }
        }
        // Without ports of ours there is no interface on any node; with
        // ports of ours but no nodes, the nodes could not be told.
        bool known = std::none_of(ports.begin(), ports.end(), [](const PortInfo& p) {
            bool output = false;
            unsigned letter = 0, digit = 0;
            return p.node < 0 && ParseOurName(p.name, &output, &letter, &digit);
        });
        *error = known
                     ? "no interface on device node " + std::to_string(node) + " ('" + wanted + "')"
                     : "the device nodes of the ports are not known ('" + wanted +
                           "'; name the port by its ID or name)";
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

}  // namespace

std::string PortInfo::Selector() const {
    if (node < 0) return "";
    return std::to_string(node) + (output ? ":out-" : ":in-") + (letter ? "b" : "a");
}

void AssignNodes(std::vector<PortInfo>* ports, const std::vector<unsigned>& presentNodes) {
    std::vector<PortInfo*> ours;
    for (PortInfo& p : *ports) {
        p.node = -1;
        bool output = false;
        unsigned letter = 0, digit = 0;
        if (ParseOurName(p.name, &output, &letter, &digit) && output == p.output) {
            p.letter = letter;
            ours.push_back(&p);
        }
    }
    size_t n = presentNodes.size();
    if (ours.size() != 2 * n) return;
    for (size_t i = 0; i < ours.size(); ++i) {
        bool output = false;
        unsigned letter = 0, digit = 0;
        ParseOurName(ours[i]->name, &output, &letter, &digit);
        size_t k = i / 2;
        if (letter != i % 2 || digit != (n > 1 ? n - k : 0)) return;
    }
    for (size_t i = 0; i < ours.size(); ++i)
        ours[i]->node = static_cast<int>(presentNodes[i / 2]);
}

bool FindPort(const std::vector<PortInfo>& ports, const std::string& wanted, PortInfo* found,
              std::string* error, const std::vector<PortInfo>& others) {
    if (FindIn(ports, wanted, found, error)) return true;
    // An ID means a port of either direction: only names and selectors tell.
    PortInfo other;
    std::string ignored;
    bool byId = std::all_of(wanted.begin(), wanted.end(),
                            [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
    if (!byId && FindIn(others, wanted, &other, &ignored))
        *error = other.name + " is " + (other.output ? "an output" : "an input") + ", not " +
                 (other.output ? "an input" : "an output") + " ('" + wanted + "')";
    return false;
}

}  // namespace tools
