// SPDX-License-Identifier: MIT
#include "platform/linux/processholders.h"

#include "platform/linux/smallfile.h"

#include <QList>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

bool isRunning(pid_t pid)
{
    return kill(pid, 0) == 0 || errno == EPERM;
}

namespace {

QByteArray procPath(pid_t pid, const char *entry)
{
    return "/proc/" + QByteArray::number(qlonglong(pid)) + '/' + entry;
}

} // namespace

QByteArray processCommand(pid_t pid)
{
    QByteArray name = readSmallFile(procPath(pid, "comm"), 64).value_or("");
    if (name.endsWith('\n'))
        name.chop(1);
    return name;
}

QString processName(pid_t pid)
{
    return QString::fromLocal8Bit(processCommand(pid));
}

QByteArray processExecutable(pid_t pid)
{
    char target[4096];
    const ssize_t n = readlink(procPath(pid, "exe").constData(), target, sizeof target);
    return n > 0 && size_t(n) < sizeof target ? QByteArray(target, int(n)) : QByteArray();
}

QByteArray ownProgram()
{
    char target[4096];
    const ssize_t n = readlink("/proc/self/exe", target, sizeof target);
    if (n > 0 && size_t(n) < sizeof target && !std::memchr(target, '\n', size_t(n)))
        return QByteArray(target, int(n));
    // QLockFile follows this link to the same name.
    return "/proc/" + QByteArray::number(qlonglong(getpid())) + "/exe";
}

QString userName(uid_t uid)
{
    char buffer[1024];
    passwd entry = {};
    passwd *found = nullptr;
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("uid %1").arg(uid);
}

QByteArray lockListFileId(dev_t device, ino_t inode)
{
    return QByteArray::number(major(device), 16).rightJustified(2, '0') + ':' +
           QByteArray::number(minor(device), 16).rightJustified(2, '0') + ':' +
           QByteArray::number(qulonglong(inode));
}

pid_t flockHolderIn(const QByteArray &locks, const QByteArray &fileId)
{
    for (const QByteArray &line : locks.split('\n')) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:05:1027 0 EOF"; waiters have "->" after the number.
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields.at(1) == "FLOCK" && fields.at(3) == "WRITE" &&
            fields.at(5) == fileId)
            return pid_t(fields.at(4).toLongLong());
    }
    return 0;
}

bool flockedByAnother(int fd, pid_t *holder)
{
    int locked = -1;
    do
        locked = flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked == 0 || errno != EWOULDBLOCK)
        return false;
    // It may have ended since, leaving the lock to a child.
    struct stat st = {};
    *holder = fstat(fd, &st) != 0
                  ? 0
                  : flockHolderIn(readSmallFile("/proc/locks", 1 << 20).value_or(""),
                                  lockListFileId(st.st_dev, st.st_ino));
    return true;
}

bool inExclusiveMode(int fd, int openError)
{
    int exclusive = 0;
    return (fd < 0 && openError == EBUSY) ||
           (fd >= 0 && ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive);
}
