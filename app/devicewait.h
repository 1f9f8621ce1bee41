// SPDX-License-Identifier: MIT
#ifndef MORVEK_DEVICEWAIT_H
#define MORVEK_DEVICEWAIT_H

#include "app/devicechoice.h"

#include <QList>

#include <functional>

class Trace;

using Discovery = std::function<QList<DiscoveredDevice>()>;

// What discovery saw last, and the devices chosen from it.
struct Sighting {
    QList<DiscoveredDevice> found;
    DeviceChoice choice;
};

// Discovers the devices and chooses among them (asked: the numbers of --number). With waitMs
// above 0, discovers again at a modest rate until the chosen devices' ports are there, a
// number is found to be shared (waiting cannot mend that), or waitMs have passed; then gives
// what it saw last. Before any port is opened, so an end signal ends it at once.
Sighting waitForDevices(const Discovery &discover, const QStringList &asked, int waitMs,
                        Trace &trace);

#endif
