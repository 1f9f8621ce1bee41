// SPDX-License-Identifier: MIT
#include "devicelist.h"

#include "app/escaping.h"
#include "app/readingrules.h"
#include "serial/serialport.h"

QList<int> querySlots(const QList<DiscoveredDevice> &devices, const DeviceChoice &choice)
{
    QList<int> slotNumbers;
    for (int i = 0; i < devices.size(); ++i)
        slotNumbers << 0;
    if (!choice.inOrderAsked) {
        // The first two found are queried, the one with the smaller number first.
        const bool swapped =
            devices.size() >= 2 && queriedFirst(devices.at(1).entry, devices.at(0).entry);
        for (int i = 0; i < qMin(2, devices.size()); ++i)
            slotNumbers[i] = (i == 1) != swapped ? 2 : 1;
        return slotNumbers;
    }
    // Nothing is queried while a number asked is missing or shared.
    if (!choice.complete())
        return slotNumbers;
    for (int i = 0; i < devices.size(); ++i) {
        for (int slot = 0; slot < choice.chosen.size(); ++slot) {
            if (devices.at(i).entry == choice.chosen.at(slot).entry)
                slotNumbers[i] = slot + 1;
        }
    }
    return slotNumbers;
}

QByteArray deviceListText(const QList<DiscoveredDevice> &devices, const QList<int> &slotNumbers)
{
    QString text;
    for (int i = 0; i < devices.size(); ++i) {
        const DeviceEntry &entry = devices.at(i).entry;
        const int slot = slotNumbers.value(i);
        const QString source = devices.at(i).source == IdentitySource::Location
                                   ? QStringLiteral("location")
                                   : QStringLiteral("product");
        // So that no text a device gives can add a field or a line.
        text += QStringList{slot > 0 ? QString::number(slot) : QStringLiteral("-"),
                            escapedText(entry.portName),
                            escapedPath(SerialPort::systemPath(entry.portName)),
                            escapedText(entry.deviceId), source}
                    .join(QLatin1Char('\t')) +
                QLatin1Char('\n');
    }
    return text.toUtf8();
}
