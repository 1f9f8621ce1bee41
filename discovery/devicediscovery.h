// SPDX-License-Identifier: MIT
#ifndef MORVEK_DEVICEDISCOVERY_H
#define MORVEK_DEVICEDISCOVERY_H

#include "deviceentry.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Where a device's number text was found.
enum class IdentitySource { Location, Product };

struct DiscoveredDevice {
    DeviceEntry entry;
    IdentitySource source;
};

// Every present USB device with the tool's vendor and product id and a COM port, in the
// order of the system's device list. Nothing is sorted or limited; failures of any kind
// only make the list shorter.
QList<DeviceEntry> findDevices();
// The same devices, each with where its number came from.
QList<DiscoveredDevice> discoverDevices();

// Capture n of the leftmost match of "vid_(\w+)&pid_(\w+)" (any case, \w a letter or
// number of any script or the underscore) in the first hardware ID: 1 gives the vendor
// text, 2 the product text; empty for any other n or when there is no match.
QString hardwareIdField(int n, const QStringList &hardwareIds);

// The rules that decide on one device, given its property values.
bool isToolDevice(const QStringList &hardwareIds);
// The COM port name in a friendly name such as "USB Serial Device (COM5)"; nothing when
// the name carries no "(COM" and ")".
std::optional<QString> portNameFromFriendlyName(const QString &friendlyName);
// The device number: from the location information when it holds the identity prefix,
// otherwise from the USB product string (read only then), every prefix removed. `source`,
// when given, tells which of the two it came from.
QString deviceIdFrom(const QString &locationInformation,
                     const std::function<QString()> &productString,
                     IdentitySource *source = nullptr);

#endif
