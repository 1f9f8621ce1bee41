// SPDX-License-Identifier: MIT
#ifndef MORVEK_PORTLOCK_H
#define MORVEK_PORTLOCK_H

#include <QByteArray>
#include <QSerialPort>
#include <QString>

class TtyLine;

// Takes a serial line's lock around Qt Serial Port's open, in the ways serial programs on
// this platform lock one, and says who holds the line when another program does. One object
// serves one open of one line; each step gives an empty text when the line is ours, and
// otherwise who holds it.
//
// On Linux it creates and removes lock files in /var/lock and takes flocks. Another program
// holds the line by a lock file LCK..<tty> in /var/lock or /run/lock that names a running
// process, in any format, or anything at that path (or at Qt's LCK..<tty>.rmlock) that is not
// a regular file; by an exclusive flock on the tty; or by the tty's exclusive mode (TIOCEXCL),
// which only root can open at all. The line opened, it takes an exclusive flock on it, and
// Qt Serial Port (or TtyLine) sets its exclusive mode. Windows opens COM ports exclusively, so
// there is nothing to take or look for there.
class PortLock
{
public:
    PortLock() = default;
    ~PortLock();
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    // Before the line is opened, with the path that is about to be opened. Holds the
    // line's lock file while it looks, and lets it go last, for Qt Serial Port to take.
    QString lockBeforeOpen(const QString &path);
    // Right after the open was tried, whether it succeeded or not, on Qt Serial Port's line or
    // on `direct` (qtLocksElsewhere). On a line that did not open: who locked the port in the
    // moment between the look and the open, if anybody. On the open line: who took a flock on
    // it meanwhile; otherwise takes an exclusive flock on the line, which lasts until the line
    // is closed.
    QString lockAfterOpen(const QSerialPort &line, const TtyLine &direct);
    // After lockBeforeOpen: whether Qt Serial Port would put its lock file where no other
    // program looks, as it does when it may not write to /var/lock (read-only, missing, or
    // root's for another user): it falls back to /tmp, where a FIFO hangs its open and a
    // lock file of another's is deleted. The line is then opened without it (TtyLine), held
    // by its flock and exclusive mode alone.
    bool qtLocksElsewhere() const { return lockDirectoryUnwritable; }

private:
    // The tty as opened to look at its mode. Kept open until the line itself is open, so
    // that closing it cannot hang up a line that nobody else has open.
    int probe = -1;
    // Our own lock file while lockBeforeOpen looks, and where it is.
    int ownLock = -1;
    QByteArray ownLockPath;
    // Qt's .rmlock beside the lock file, ours from the hand-over until the open is over, so
    // that Qt Serial Port cannot remove a lock file that appears in that moment.
    int guard = -1;
    QByteArray guardPath;
    QByteArray lockName;
    bool lockDirectoryUnwritable = false;

    void releaseOwnLock();
    void closeProbe();
    QString takeGuard();
    void releaseGuard();
};

#endif
