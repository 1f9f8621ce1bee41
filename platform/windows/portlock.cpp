#include "platform/portlock.h"

// Windows opens a COM port exclusively: the open itself reports a holder.

PortLock::~PortLock() = default;

QString PortLock::holderBeforeOpen(const QString &path)
{
    Q_UNUSED(path)
    return QString();
}

QString PortLock::holderAfterOpen(const QSerialPort &line)
{
    Q_UNUSED(line)
    return QString();
}
