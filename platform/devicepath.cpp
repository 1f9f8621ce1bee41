#include "devicepath.h"

#include <QRegularExpression>
#include <QtGlobal>

QString nativePortPath(const QString &windowsPath)
{
#ifdef Q_OS_WIN
    return windowsPath;
#else
    static const QString prefix = QStringLiteral("\\\\.\\");
    QString rest = windowsPath;
    if (rest.startsWith(prefix))
        rest.remove(0, prefix.size());

    // The CDC-ACM driver numbers its ttys from 0 where Windows numbers COM ports from 1.
    static const QRegularExpression comPort(QStringLiteral("\\ACOM([1-9][0-9]{0,8})\\z"));
    const QRegularExpressionMatch match = comPort.match(rest);
    if (match.hasMatch())
        return QStringLiteral("/dev/ttyACM%1").arg(match.captured(1).toLongLong() - 1);
    return rest;
#endif
}
