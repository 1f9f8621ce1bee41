// SPDX-License-Identifier: MIT
#ifndef MORVEK_PROCESSHOLDERS_H
#define MORVEK_PROCESSHOLDERS_H

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// The processes behind a hold on a tty, as the kernel tells them: whether one runs, its name,
// who holds an exclusive flock, whether the tty is in exclusive mode; and this program's own
// name and its users', for the lock files it writes and the messages it gives.

// Whether the process runs; one of another user still runs when we may not signal it.
bool isRunning(pid_t pid);
// The process's name (/proc/PID/comm); empty when it cannot be read.
QString processName(pid_t pid);
QByteArray processCommand(pid_t pid);
// The target of /proc/PID/exe; empty when it cannot be read (another user's process).
QByteArray processExecutable(pid_t pid);
// This program as /proc names it, for QLockFile's form of a lock file.
QByteArray ownProgram();
// A user's name, or "uid N" when the user database does not know it.
QString userName(uid_t uid);

// The kernel's name of a file in its list of locks: hex major:minor of the device, then the
// inode in decimal.
QByteArray lockListFileId(dev_t device, ino_t inode);
// The process that holds an exclusive flock on the file, from the kernel's list of locks
// (/proc/locks, given as text); 0 when it is not listed there.
pid_t flockHolderIn(const QByteArray &locks, const QByteArray &fileId);

// Whether another open file of the tty holds an exclusive flock on it; then *holder becomes
// who took it (0 when the kernel does not say). Takes the lock on fd when it is free.
bool flockedByAnother(int fd, pid_t *holder);
// Whether the tty is in exclusive mode (TIOCEXCL). fd is the tty opened to look, or -1 with
// the open's errno: only root can open such a tty at all, so root asks the mode itself.
bool inExclusiveMode(int fd, int openError);

#endif
