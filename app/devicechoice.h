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

// A number as it is compared: its digits without leading zeros ("000" is "0"), so that 3 and
// 03 are one number however long it is; empty when TEXT is not digits only.
QString significantDigits(const QString &text);

// Whether a device's number text is the number asked (its significantDigits()).
bool hasNumber(const QString &deviceId, const QString &asked);

DeviceChoice chooseDevices(const QList<DiscoveredDevice> &found, const QStringList &asked);

#endif
