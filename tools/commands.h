// The subcommands of the veltrane command. Each takes the arguments after its
// name (argv[0] is the subcommand) and answers the process exit status.
#pragma once

int CmdList(int argc, char** argv);
int CmdSend(int argc, char** argv);
int CmdPlay(int argc, char** argv);
int CmdMonitor(int argc, char** argv);
int CmdRecord(int argc, char** argv);
int CmdReceive(int argc, char** argv);
int CmdLoop(int argc, char** argv);
// Linux only: they drive the simulator.
int CmdDemo(int argc, char** argv);
int CmdSim(int argc, char** argv);
int CmdCtl(int argc, char** argv);
// Windows only (tools/install/cmd_install.cpp).
int CmdInstall(int argc, char** argv);
int CmdUninstall(int argc, char** argv);
int CmdRepair(int argc, char** argv);
int CmdStatus(int argc, char** argv);
