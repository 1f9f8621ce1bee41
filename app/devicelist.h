// SPDX-License-Identifier: MIT
#ifndef MORVEK_DEVICELIST_H
#define MORVEK_DEVICELIST_H

#include "discovery/devicediscovery.h"

#include <QByteArray>
#include <QList>

// What --list prints: one line per device in the order found, tab-separated: the slot it
// would be queried in (1, 2, or - beyond the first two), the port name, the path opened,
// the number text and where that came from (location or product). Texts from the device
// or the platform are escaped as in the trace.
QByteArray deviceListText(const QList<DiscoveredDevice> &devices);

#endif
