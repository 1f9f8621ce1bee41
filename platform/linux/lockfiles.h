// SPDX-License-Identifier: MIT
#ifndef MORVEK_LOCKFILES_H
#define MORVEK_LOCKFILES_H

#include <QByteArray>
#include <QString>

// The lock files of a tty in the lock directories, read, created and removed by the rules of
// lockfilerules.h. Nothing but a regular file at a lock path is ever opened, followed or
// removed, and a file is removed only while it is still the one that was read or created.

// Who holds the line by a lock file of that name; empty when nobody does. *stale becomes the
// path of a lock file of an ended process, or of an old garbled one, that this user may take
// away.
QString lockFileHolder(const QByteArray &name, QByteArray *stale);

// A new lock file in the HDB form, naming this process; -1 with errno set when it cannot be
// created (EEXIST: there is one).
int createLockFile(const QByteArray &path);
// A new .rmlock in QLockFile's form, naming this process, so that QLockFile respects it; one
// left by an ended process or older than QLockFile respects is taken away first. -1 when it
// cannot be taken, with *holder saying why.
int createRemovalLock(const QByteArray &path, QString *holder);

// Unlinks a stale lock file, unless another program has put its own in its place since it
// was read. Stale: it names a process that has ended, or it names none and is older than
// QLockFile respects, or, with orAged, it is that old whatever it names.
bool removeIfUnchanged(const QByteArray &file, bool orAged = false);
// Unlinks the file at path while it is still the one open on fd, then closes fd: someone may
// have taken a stale-looking file of ours away and put their own in its place.
void unlinkIfStillOurs(const QByteArray &path, int fd);

#endif
