// SPDX-License-Identifier: MIT
#ifndef MORVEK_HOLDERMESSAGES_H
#define MORVEK_HOLDERMESSAGES_H

#include <QByteArray>
#include <QString>

#include <optional>
#include <sys/stat.h>
#include <sys/types.h>

// What the trace says of who holds a port, every wording in one place. Those of a lock file
// start as Qt Serial Port words a lock that it respects, so that both read alike.

// "process 4711 (picocom)", or without the name when it cannot be read.
QString processText(pid_t pid);

QString heldThroughLockFile(pid_t pid, const QByteArray &file);
// Anything but a regular file at a lock path; linkTarget is what could be read of a
// symbolic link's target (nothing when it could not be).
QString notALockFile(const QByteArray &file, mode_t mode,
                     const std::optional<QByteArray> &linkTarget);
// A regular file at a lock path that this user cannot read (mode 000, say).
QString unreadableLockFile(const QByteArray &file, int error);
QString lockFileNamesNoProcess(const QByteArray &file);
QString staleLockFileOfAnotherUser(const QByteArray &file, uid_t owner, pid_t pid);
QString garbledLockFileOfAnotherUser(const QByteArray &file, uid_t owner);
// Another Qt program holds the .rmlock: it is taking a lock file of the port over.
QString takingLockFileOver(pid_t pid, const QByteArray &removalLock);
QString cannotCreate(const QByteArray &file, int error);

// pid 0, or one that has ended, is "another program".
QString heldThroughFlock(pid_t pid);
QString heldInExclusiveMode();

#endif
