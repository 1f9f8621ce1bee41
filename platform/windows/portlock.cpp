// SPDX-License-Identifier: MIT
#include "platform/portlock.h"

// Windows opens a COM port exclusively: the open itself reports a holder.

PortLock::~PortLock() = default;

QString PortLock::lockBeforeOpen(const QString &path)
{
    Q_UNUSED(path)
    return QString();
}

QString PortLock::lockAfterOpen(int lineHandle)
{
    Q_UNUSED(lineHandle)
    return QString();
}
