// Ctrl-C for the subcommands that run until the user stops them
// (stop_signal.cpp).
#pragma once

namespace tools {

// Set by SIGINT and SIGTERM once InstallStopHandler ran.
void InstallStopHandler();
bool StopRequested();

}  // namespace tools
