// SPDX-License-Identifier: MIT
#ifndef MORVEK_EXITSTATUS_H
#define MORVEK_EXITSTATUS_H

// The exit statuses of a run. A query that prints a reading, and by default one that prints
// none, gives 0.

// The reading could not be written to standard output.
constexpr int outputFailedStatus = 1;
// No device was found.
constexpr int noDeviceStatus = -1;
// With --fail, a query that prints no reading gives why. Apart from 1 (output failed),
// 2 (usage), 3 (abort() on Windows) and -1 (no device), and small, so that cmd's
// "if errorlevel N" (N or more) can test them from the highest down.
constexpr int openFailedStatus = 4;
constexpr int noReplyStatus = 5;
constexpr int deviceGoneStatus = 6;
// A command line that the program cannot follow: a bad value, or an option without its value.
constexpr int usageStatus = 2;
// --number named a number that two devices have: which one was meant cannot be known, so
// neither is asked.
constexpr int sameNumberStatus = 7;

#endif
