// SPDX-License-Identifier: MIT
#include "platform/linux/lockfilerules.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>

QList<QByteArray> lockDirectories()
{
    return {QByteArrayLiteral("/var/lock"), QByteArrayLiteral("/run/lock")};
}

QByteArray qtLockDirectory()
{
    return QByteArrayLiteral("/var/lock");
}

QByteArray lockFileName(const QString &ttyPath)
{
    QString name = ttyPath.startsWith(QStringLiteral("/dev/")) ? ttyPath.mid(5) : ttyPath;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return "LCK.." + name.toLocal8Bit();
}

QByteArray removalLockName(const QByteArray &lockName)
{
    return lockName + ".rmlock";
}

pid_t lockFilePid(const QByteArray &content)
{
    const int lineEnd = content.indexOf('\n');
    const QByteArray line = (lineEnd < 0 ? content : content.left(lineEnd)).trimmed();
    // The PID comes first: alone (HDB, Qt's own form) or followed by the program's name and
    // its user, as minicom and lockdev write it ("%10ld minicom %.20s\n").
    int end = 0;
    while (end < line.size() && line.at(end) >= '0' && line.at(end) <= '9')
        ++end;
    const bool digits =
        end > 0 && end <= 10 &&
        (end == line.size() || std::isspace(static_cast<unsigned char>(line.at(end))));
    if (digits) {
        const qlonglong pid = line.left(end).toLongLong();
        return pid > 0 && pid <= std::numeric_limits<pid_t>::max() ? pid_t(pid) : 0;
    }
    if (content.size() == int(sizeof(qint32))) {
        qint32 pid = 0;
        std::memcpy(&pid, content.constData(), sizeof pid);
        return pid > 0 ? pid_t(pid) : 0;
    }
    return 0;
}

QByteArray lockFileProgram(const QByteArray &content)
{
    const int firstEnd = content.indexOf('\n');
    const int secondEnd = firstEnd < 0 ? -1 : content.indexOf('\n', firstEnd + 1);
    if (secondEnd < 0)
        return QByteArray();
    const QByteArray first = content.left(firstEnd).trimmed();
    if (first.isEmpty())
        return QByteArray();
    for (const char c : first) {
        if (c < '0' || c > '9')
            return QByteArray();
    }
    const QByteArray program = content.mid(firstEnd + 1, secondEnd - firstEnd - 1);
    return program.mid(program.lastIndexOf('/') + 1);
}

bool runsLockFileProgram(const QByteArray &program, const QByteArray &exe, const QByteArray &comm)
{
    if (program.isEmpty())
        return true;
    if (!exe.isEmpty()) {
        // A program replaced on disk while it runs (an upgrade) is still that program.
        QByteArray name = exe.mid(exe.lastIndexOf('/') + 1);
        if (name.endsWith(" (deleted)"))
            name.chop(10);
        return name == program;
    }
    // The kernel keeps the first 15 bytes of the name the program was started by.
    return comm.isEmpty() || comm == program.left(15);
}

QByteArray hdbLockContent(pid_t pid)
{
    return QByteArray::number(qlonglong(pid)).rightJustified(10) + '\n';
}

QByteArray qtLockContent(pid_t pid, const QByteArray &program)
{
    return QByteArray::number(qlonglong(pid)) + '\n' + program + '\n';
}

bool garbledLockHolds(time_t modified, time_t now)
{
    return std::abs(now - modified) <= garbledLockHoldsS;
}

bool mayRemoveLockFile(uid_t user, uid_t fileOwner, const LockDirectoryAccess &directory)
{
    if (user == 0)
        return true;
    return directory.writable &&
           (!directory.sticky || fileOwner == user || directory.owner == user);
}
