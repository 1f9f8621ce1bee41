// SPDX-License-Identifier: MIT
#ifndef MORVEK_DEVICEPATH_H
#define MORVEK_DEVICEPATH_H

#include <QString>

// Turns a Windows device path such as \\.\COM5 into the path the local serial driver
// opens. On Windows it is returned as it is. Elsewhere the \\.\ prefix is dropped,
// COM<n> (n >= 1) names /dev/ttyACM<n-1>, and any other remainder is used as it stands.
QString nativePortPath(const QString &windowsPath);

// Whether the serial device that a path opened by openPort names is there for this process
// to open: on Linux the tty node exists and may be opened for reading and writing (udev may
// still be setting its group), on Windows the DOS device name of the port is defined. Looks
// only: nothing is opened.
bool portPresent(const QString &systemPath);

#endif
