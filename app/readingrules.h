// SPDX-License-Identifier: MIT
#ifndef MORVEK_READINGRULES_H
#define MORVEK_READINGRULES_H

#include "discovery/deviceentry.h"

#include <QByteArray>
#include <QString>

// How a device is asked for its reading and how its reply becomes the printed line. Kept
// apart from the controller, which only sequences the exchange, so that --list can say which
// device is queried first by the same rule.

// The command that asks a device for its reading, as text; its Latin-1 bytes are written.
QString queryCommand();

// How long a device has to answer, from the command that first asks it.
constexpr int replyTimeoutMs = 1000;

// The reply without the bytes that never belong to a reading: line ends, spaces, NULs and
// the letters of the command, which the device echoes.
QByteArray filterReply(const QByteArray &raw);

// What a device gives to a two-device line: its reply up to the first comma.
QString firstField(const QString &reply);

// A device's number as the order compares it: its text in base 10, or 0 when that is not a
// number (or does not fit in an int).
int deviceNumber(const QString &deviceId);

// Whether the device listed second is queried before the one listed first: it has the
// smaller number. Equal or non-numeric numbers keep the listed order.
bool queriedFirst(const DeviceEntry &second, const DeviceEntry &first);

#endif
