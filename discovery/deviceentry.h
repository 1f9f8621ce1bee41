// SPDX-License-Identifier: MIT
#ifndef MORVEK_DEVICEENTRY_H
#define MORVEK_DEVICEENTRY_H

#include <QString>

// One discovered device: its COM port name (upper case, such as COM5, no path prefix) and
// its identity text with every "ZR_SERIES__" removed (compared as a base-10 number; it may
// be empty or not a number at all).
struct DeviceEntry {
    QString portName;
    QString deviceId;
};

inline bool operator==(const DeviceEntry &a, const DeviceEntry &b)
{
    return a.portName == b.portName && a.deviceId == b.deviceId;
}

#endif
