// SPDX-License-Identifier: MIT
#ifndef MORVEK_DEVICELIST_H
#define MORVEK_DEVICELIST_H

#include "app/devicechoice.h"

#include <QByteArray>
#include <QList>

// The slot each device found would be queried in (1 or 2; 0: not queried), for the devices
// chosen from them. Without --number the first two are queried, the smaller number first.
QList<int> querySlots(const QList<DiscoveredDevice> &devices, const DeviceChoice &choice);

// What --list prints: one line per device in the order found, tab-separated: the slot it
// would be queried in (1, 2, or -), the port name, the path opened, the number text and
// where that came from (location or product). Texts from the device or the platform are
// escaped as in the trace.
QByteArray deviceListText(const QList<DiscoveredDevice> &devices, const QList<int> &slotNumbers);

#endif
