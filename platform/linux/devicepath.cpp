// SPDX-License-Identifier: MIT
#include "platform/devicepath.h"

#include <QFile>

#include <unistd.h>

namespace {

// COM<n> with n from 1 to 999999999, no leading zero, ASCII digits only; 0 when the text is
// anything else. Matched by hand: compiling a pattern would cost more than the whole open.
long long comPortNumber(const QString &text)
{
    static const QString com = QStringLiteral("COM");
    if (!text.startsWith(com, Qt::CaseSensitive))
        return 0;
    const QString digits = text.mid(com.size());
    if (digits.isEmpty() || digits.size() > 9 || digits.at(0) == QLatin1Char('0'))
        return 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
    }
    return digits.toLongLong();
}

} // namespace

QString nativePortPath(const QString &windowsPath)
{
    static const QString prefix = QStringLiteral("\\\\.\\");
    QString rest = windowsPath;
    if (rest.startsWith(prefix))
        rest.remove(0, prefix.size());

    // The CDC-ACM driver numbers its ttys from 0 where Windows numbers COM ports from 1.
    if (const long long number = comPortNumber(rest))
        return QStringLiteral("/dev/ttyACM%1").arg(number - 1);
    return rest;
}

bool portPresent(const QString &systemPath)
{
    return access(QFile::encodeName(systemPath).constData(), R_OK | W_OK) == 0;
}
