// SPDX-License-Identifier: MIT
#include "readingrules.h"

#include <QStringList>

namespace {

bool isFilteredByte(char byte)
{
    switch (byte) {
    case '\0':
    case '\n':
    case '\r':
    case ' ':
    case 'A':
    case 'C':
    case 'D':
    case 'T':
        return true;
    default:
        return false;
    }
}

} // namespace

QString queryCommand()
{
    return QStringLiteral("ATCD\r\n");
}

QByteArray filterReply(const QByteArray &raw)
{
    QByteArray kept;
    kept.reserve(raw.size());
    for (const char byte : raw) {
        if (!isFilteredByte(byte))
            kept.append(byte);
    }
    return kept;
}

QString firstField(const QString &reply)
{
    return reply.split(QChar(','), Qt::KeepEmptyParts, Qt::CaseSensitive).first();
}

int deviceNumber(const QString &deviceId)
{
    return deviceId.toInt(nullptr, 10);
}

bool queriedFirst(const DeviceEntry &second, const DeviceEntry &first)
{
    return !first.deviceId.isEmpty() &&
           deviceNumber(second.deviceId) < deviceNumber(first.deviceId);
}
