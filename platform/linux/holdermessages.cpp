// SPDX-License-Identifier: MIT
#include "platform/linux/holdermessages.h"

#include "platform/linux/lockfilerules.h"
#include "platform/linux/processholders.h"

#include <cstring>

namespace {

QString lockingError(const QString &what)
{
    return QStringLiteral("Permission error while locking the device: %1").arg(what);
}

QString local(const QByteArray &bytes)
{
    return QString::fromLocal8Bit(bytes);
}

} // namespace

QString processText(pid_t pid)
{
    const QString name = processName(pid);
    return name.isEmpty() ? QStringLiteral("process %1").arg(pid)
                          : QStringLiteral("process %1 (%2)").arg(pid).arg(name);
}

QString heldThroughLockFile(pid_t pid, const QByteArray &file)
{
    return lockingError(
        QStringLiteral("held by %1 through the lock file %2").arg(processText(pid), local(file)));
}

QString notALockFile(const QByteArray &file, mode_t mode,
                     const std::optional<QByteArray> &linkTarget)
{
    QString what;
    if (S_ISLNK(mode)) {
        what = QStringLiteral("a symbolic link to %1")
                   .arg(!linkTarget ? QStringLiteral("?")
                                    : local(*linkTarget) + (linkTarget->size() == linkTargetShown
                                                                ? QStringLiteral("...")
                                                                : QString()));
    } else if (S_ISDIR(mode)) {
        what = QStringLiteral("a directory");
    } else if (S_ISFIFO(mode)) {
        what = QStringLiteral("a FIFO");
    } else if (S_ISSOCK(mode)) {
        what = QStringLiteral("a socket");
    } else if (S_ISCHR(mode) || S_ISBLK(mode)) {
        what = QStringLiteral("a device");
    } else {
        what = QStringLiteral("a file of an unknown kind");
    }
    return lockingError(QStringLiteral("%1 is %2, not a lock file; the port counts as held "
                                       "until it is removed")
                            .arg(local(file), what));
}

QString unreadableLockFile(const QByteArray &file, int error)
{
    return lockingError(QStringLiteral("the lock file %1 cannot be read (%2); the port counts as "
                                       "held until it is removed")
                            .arg(local(file), QString::fromLocal8Bit(std::strerror(error))));
}

QString lockFileNamesNoProcess(const QByteArray &file)
{
    return lockingError(
        QStringLiteral("the lock file %1 names no process; it counts as held until it is %2 s old")
            .arg(local(file))
            .arg(garbledLockHoldsS));
}

QString staleLockFileOfAnotherUser(const QByteArray &file, uid_t owner, pid_t pid)
{
    return lockingError(QStringLiteral("the lock file %1 of user %2 names process %3, which has "
                                       "ended, and only %2 or an administrator can remove it "
                                       "(rm %1)")
                            .arg(local(file), userName(owner))
                            .arg(pid));
}

QString garbledLockFileOfAnotherUser(const QByteArray &file, uid_t owner)
{
    return lockingError(QStringLiteral("the lock file %1 of user %2 names no process and is older "
                                       "than %3 s, and only %2 or an administrator can remove "
                                       "it (rm %1)")
                            .arg(local(file), userName(owner))
                            .arg(garbledLockHoldsS));
}

QString takingLockFileOver(pid_t pid, const QByteArray &removalLock)
{
    return lockingError(QStringLiteral("held by %1 through %2, taking a lock file of the port over")
                            .arg(processText(pid), local(removalLock)));
}

QString cannotCreate(const QByteArray &file, int error)
{
    return lockingError(QStringLiteral("cannot create %1 (%2)")
                            .arg(local(file), QString::fromLocal8Bit(std::strerror(error))));
}

QString heldThroughFlock(pid_t pid)
{
    return QStringLiteral("held by %1 through an exclusive flock on the tty")
        .arg(pid > 0 && isRunning(pid) ? processText(pid) : QStringLiteral("another program"));
}

QString heldInExclusiveMode()
{
    return QStringLiteral("held by another program: the tty is in exclusive mode (TIOCEXCL)");
}
