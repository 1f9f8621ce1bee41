// SPDX-License-Identifier: MIT
#ifndef MORVEK_STARTUP_H
#define MORVEK_STARTUP_H

#include "app/devicewait.h"

class CommandLine;
class Trace;

// The run once its command line is read, as main() has it and as the tests' controller
// harness has it too, which names its devices instead of discovering them: so that both wire
// the controller, the end signals, --number, --wait, --json and --fail the same way.

// Starts the trace when the command line asks for it; its first line names the arguments
// that no option uses.
void startTrace(const CommandLine &commandLine, Trace &trace);

// --list: writes the devices found, one line each or as JSON, and gives the exit status.
int listDevices(const Discovery &discover, const CommandLine &commandLine, Trace &trace);

// Queries the first two of the devices found, the one with the smaller number first, or the
// ones asked with --number, and ends the process. Returns only when no query is made (no
// device, or a number that two devices share), with that status.
int queryDevices(const Discovery &discover, const CommandLine &commandLine, Trace &trace);

#endif
