// SPDX-License-Identifier: MIT
#ifndef MORVEK_DEVICECHOICE_H
#define MORVEK_DEVICECHOICE_H

#include "discovery/devicediscovery.h"

#include <QList>
#include <QString>
#include <QStringList>

// Which of the devices found a run queries.
struct DeviceChoice {
    // The devices to query: without numbers asked, the first two found, for the controller to
    // order; with numbers, one device per number, in the order asked.
    QList<DiscoveredDevice> chosen;
    // The numbers asked that no device has.
    QStringList missing;
    // Every device that shares an asked number with another, and the number.
    QList<DiscoveredDevice> sharing;
    QString sharedNumber;
    // Whether chosen is in the order asked, not to be ordered by number.
    bool inOrderAsked = false;

    // Whether there is a device to query and nothing that forbids the query.
    bool complete() const { return !chosen.isEmpty() && missing.isEmpty() && sharing.isEmpty(); }
};

// Whether a device's number text is the number asked (digits without leading zeros): its
// text is digits only and the same number, whatever zeros lead it.
bool hasNumber(const QString &deviceId, const QString &asked);

DeviceChoice chooseDevices(const QList<DiscoveredDevice> &found, const QStringList &asked);

#endif
