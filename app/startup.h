// SPDX-License-Identifier: MIT
#ifndef MORVEK_STARTUP_H
#define MORVEK_STARTUP_H

#include "discovery/deviceentry.h"

#include <QList>

class CommandLine;
class Trace;

// The run once its command line is read, as main() has it and as the tests' controller
// harness has it too, which names its devices instead of discovering them: so that both wire
// the controller, the end signals and --fail the same way.

// Starts the trace when the command line asks for it; its first line names the arguments
// that no option uses.
void startTrace(const CommandLine &commandLine, Trace &trace);

// --list: writes the devices found, one line each, and gives the exit status.
int listDevices(Trace &trace);

// Queries the first two of the devices, the one with the smaller number first, and ends the
// process. Returns only when there is no device, with that status.
int queryDevices(const QList<DeviceEntry> &devices, const CommandLine &commandLine, Trace &trace);

#endif
