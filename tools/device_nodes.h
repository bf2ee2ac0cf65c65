// The device files behind the ports (device_nodes.cpp): which device nodes
// answer, and what an interface says of itself when the driver refuses it.
#pragma once

#include <string>
#include <vector>

namespace tools {

// The device nodes whose device file opens now, in ascending order: the
// interfaces the driver finds when it counts its ports.
std::vector<unsigned> PresentNodes();
// Whether the device file of node opens now: its interface is plugged.
bool NodePresent(unsigned node);
// Why the driver would refuse the interface on node, in the user's terms:
// gone, silent, or not the interface the driver is built for. "" when the
// interface answers as the driver expects.
std::string InterfaceTrouble(unsigned node);

}  // namespace tools
