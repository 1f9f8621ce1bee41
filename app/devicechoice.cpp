// SPDX-License-Identifier: MIT
#include "devicechoice.h"

#include <QRegularExpression>

QString significantDigits(const QString &text)
{
    static const QRegularExpression zerosThenDigits(
        QRegularExpression::anchoredPattern(QStringLiteral("0*([0-9]+)")));
    // The greedy zeros leave the last digit: "000" is 0.
    return zerosThenDigits.match(text).captured(1);
}

bool hasNumber(const QString &deviceId, const QString &asked)
{
    const QString digits = significantDigits(deviceId);
    return !digits.isEmpty() && digits == asked;
}

DeviceChoice chooseDevices(const QList<DiscoveredDevice> &found, const QStringList &asked)
{
    DeviceChoice choice;
    if (asked.isEmpty()) {
        choice.chosen = found.mid(0, 2);
        return choice;
    }
    choice.inOrderAsked = true;
    for (const QString &number : asked) {
        QList<DiscoveredDevice> matching;
        for (const DiscoveredDevice &device : found) {
            if (hasNumber(device.entry.deviceId, number))
                matching << device;
        }
        if (matching.isEmpty()) {
            choice.missing << number;
        } else if (matching.size() > 1) {
            // Never a reading by guessing which one was meant.
            if (choice.sharing.isEmpty()) {
                choice.sharing = matching;
                choice.sharedNumber = number;
            }
        } else {
            choice.chosen << matching.first();
        }
    }
    return choice;
}
