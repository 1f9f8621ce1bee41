// SPDX-License-Identifier: MIT
#include "platform/portholdercheck.h"

// Windows opens a COM port exclusively: the open itself reports a holder.

PortHolderCheck::~PortHolderCheck() = default;

QString PortHolderCheck::holderBeforeOpen(const QString &path)
{
    Q_UNUSED(path)
    return QString();
}

QString PortHolderCheck::holderAfterOpen(const QSerialPort &line)
{
    Q_UNUSED(line)
    return QString();
}
