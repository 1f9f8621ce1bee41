// SPDX-License-Identifier: MIT
#include "platform/portlock.h"

// Windows opens a COM port exclusively: the open itself reports a holder.

PortLock::~PortLock() = default;

QString PortLock::lockBeforeOpen(const QString &path)
{
    Q_UNUSED(path)
    return QString();
}

QString PortLock::lockAfterOpen(const QSerialPort &line, const TtyLine &direct)
{
    Q_UNUSED(line)
    Q_UNUSED(direct)
    return QString();
}
