// SPDX-License-Identifier: MIT
#include "platform/portlock.h"

#include "platform/linux/holdermessages.h"
#include "platform/linux/lockfilerules.h"
#include "platform/linux/lockfiles.h"
#include "platform/linux/processholders.h"
#include "platform/ttyline.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// Qt Serial Port respects only its own lock files and takes any other for stale, so the lock
// is taken around its open, in this order:
//  1. lockBeforeOpen looks for another program's lock file of the tty (lockFileHolder);
//  2. it creates ours in /var/lock at once (HDB form) and looks again, so that a program that
//     locks the tty from here on finds it taken; a stale one in the way is removed, only while
//     it is still the file that was read;
//  3. it opens the tty to look at it: exclusive mode, then another's exclusive flock, taken and
//     let go again, before the open applies our line settings to a held tty;
//  4. it takes Qt's .rmlock beside the lock file, and hands ours over (unlinked while still
//     ours), right before Qt Serial Port creates its own in its place; where ours cannot be
//     created (/var/lock read-only, missing, or not ours to write), Qt Serial Port would put
//     its own in /tmp, so the line opens without it (qtLocksElsewhere);
//  5. Qt Serial Port opens the line; it removes a lock file that another program created in
//     that moment only while it holds the .rmlock, so with ours there its open fails instead;
//  6. lockAfterOpen lets the .rmlock go; on a failed open it says who locked the port
//     meanwhile, on the open line it takes the exclusive flock (or names who took one), and it
//     closes the probe, the line itself keeping the tty open from then on.

PortLock::~PortLock()
{
    releaseOwnLock();
    releaseGuard();
    closeProbe();
}

void PortLock::closeProbe()
{
    if (probe >= 0)
        close(probe);
    probe = -1;
}

void PortLock::releaseOwnLock()
{
    if (ownLock < 0)
        return;
    unlinkIfStillOurs(ownLockPath, ownLock);
    ownLock = -1;
}

void PortLock::releaseGuard()
{
    if (guard < 0)
        return;
    unlinkIfStillOurs(guardPath, guard);
    guard = -1;
}

QString PortLock::takeGuard()
{
    const QByteArray path = qtLockDirectory() + '/' + removalLockName(lockName);
    QString holder;
    guard = createRemovalLock(path, &holder);
    if (guard >= 0)
        guardPath = path;
    return holder;
}

QString PortLock::lockBeforeOpen(const QString &path)
{
    const QByteArray name = lockFileName(path);
    const QByteArray ownPath = qtLockDirectory() + '/' + name;
    // Steps 1 and 2.
    for (int attempt = 0; attempt < 4; ++attempt) {
        QByteArray stale;
        const QString holder = lockFileHolder(name, &stale);
        if (!holder.isEmpty()) {
            releaseOwnLock();
            return holder;
        }
        if (ownLock >= 0)
            break;
        ownLock = createLockFile(ownPath);
        if (ownLock >= 0) {
            // Looked at once more: the other lock directory may have gained a lock meanwhile.
            ownLockPath = ownPath;
            continue;
        }
        // Qt Serial Port would take /tmp instead; the line opens without it.
        if (errno != EEXIST) {
            lockDirectoryUnwritable = errno == EACCES || errno == EPERM || errno == EROFS ||
                                      errno == ENOENT || errno == ENOTDIR;
            break;
        }
        // Looked at again: a lock file taken since the look, or a stale one taken away (an
        // ended process's, or an old garbled one). This very process's is left to Qt Serial
        // Port.
        if (stale == ownPath)
            removeIfUnchanged(stale);
    }

    // Step 3. Exclusive mode keeps everybody but root from opening the tty; root has to ask.
    QString holder;
    probe = open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int openError = probe < 0 ? errno : 0;
    if (inExclusiveMode(probe, openError)) {
        holder = heldInExclusiveMode();
    } else if (probe >= 0) {
        // Let go again at once: the line takes its own after the open.
        pid_t flocker = 0;
        if (flockedByAnother(probe, &flocker))
            holder = heldThroughFlock(flocker);
        flock(probe, LOCK_UN);
    }
    // Step 4. The .rmlock rather than an inotify watch: a watch saw such a lock file only once
    // Qt Serial Port had deleted it, and closing the watch made every run wait ~16 ms for the
    // kernel.
    lockName = name;
    if (holder.isEmpty() && ownLock >= 0)
        holder = takeGuard();
    releaseOwnLock();
    return holder;
}

QString PortLock::lockAfterOpen(const QSerialPort &line, const TtyLine &direct)
{
    // Step 6.
    const int lineHandle = direct.isOpen() ? direct.handle() : line.handle();
    const bool guarded = guard >= 0;
    releaseGuard();
    if (lineHandle < 0) {
        closeProbe();
        if (!guarded)
            return QString();
        // The open failed on a lock file that another program created in the moment of the
        // open, or on nothing of the kind; it says which.
        QByteArray stale;
        return lockFileHolder(lockName, &stale);
    }
    // Another program may have taken its flock since the look before the open.
    pid_t flocker = 0;
    const QString holder =
        flockedByAnother(lineHandle, &flocker) ? heldThroughFlock(flocker) : QString();
    closeProbe();
    return holder;
}
