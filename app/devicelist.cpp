// SPDX-License-Identifier: MIT
#include "devicelist.h"

#include "app/escaping.h"
#include "app/readingrules.h"
#include "serial/serialport.h"

QByteArray deviceListText(const QList<DiscoveredDevice> &devices)
{
    // The first two found are queried, the one with the smaller number first.
    const bool swapped =
        devices.size() >= 2 && queriedFirst(devices.at(1).entry, devices.at(0).entry);
    QString text;
    for (int i = 0; i < devices.size(); ++i) {
        const DeviceEntry &entry = devices.at(i).entry;
        const QString slot =
            i >= 2 ? QStringLiteral("-") : QString::number((i == 1) != swapped ? 2 : 1);
        const QString source = devices.at(i).source == IdentitySource::Location
                                   ? QStringLiteral("location")
                                   : QStringLiteral("product");
        // So that no text a device gives can add a field or a line.
        text += QStringList{slot, escapedText(entry.portName),
                            escapedPath(SerialPort::systemPath(entry.portName)),
                            escapedText(entry.deviceId), source}
                    .join(QLatin1Char('\t')) +
                QLatin1Char('\n');
    }
    return text.toUtf8();
}
