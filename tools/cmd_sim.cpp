// `veltrane sim`: the simulated kernel side and interfaces.
#include "sim/sim.h"
#include "tools/commands.h"

int CmdSim(int argc, char** argv) {
    return sim::Main(argc, argv);
}
