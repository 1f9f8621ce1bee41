// SPDX-License-Identifier: MIT
#ifndef MORVEK_LOCKFILERULES_H
#define MORVEK_LOCKFILERULES_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <ctime>
#include <sys/types.h>

// The rules of the lock files that serial programs on Linux put beside a tty, as this program
// reads and writes them: where they are, their names, the process they name, the forms it
// writes, how long a garbled one holds and who may take a stale one away. Pure, so that each
// rule can be tested on its own; lockfiles.cpp applies them to the files.

// How long QLockFile, and so Qt Serial Port, respects a lock file that names no process.
constexpr int garbledLockHoldsS = 30;
// At most this much of a symbolic link's target is read to name it.
constexpr int linkTargetShown = 256;

// The directories where serial programs on Linux put their lock files, Qt Serial Port's
// first: it puts its own there wherever it may write to /var/lock.
QList<QByteArray> lockDirectories();
QByteArray qtLockDirectory();

// The lock file name for a tty, as Qt Serial Port forms it: the path below /dev, with every
// slash turned into an underscore. For /dev/ttyACM0 that is LCK..ttyACM0, the name that other
// serial programs use too.
QByteArray lockFileName(const QString &ttyPath);
// The file that QLockFile holds while it takes a stale lock file of that name away.
QByteArray removalLockName(const QByteArray &lockName);

// The process a lock file names: the number that starts its first line in ASCII (the HDB
// form "%10d\n", Qt's own form, and minicom's and lockdev's, where a name and a user follow
// it), or the old binary form of exactly four bytes. 0 when it names none: garbled.
pid_t lockFilePid(const QByteArray &content);
// The HDB form, which every serial program respects.
QByteArray hdbLockContent(pid_t pid);
// QLockFile's own form: QLockFile respects one of a running process only when its second
// line names the program running under that PID.
QByteArray qtLockContent(pid_t pid, const QByteArray &program);

// The program that a lock file in QLockFile's form names on its second line, as the last part
// of its path; empty for the other forms, and for a line cut off by the read, which name none.
QByteArray lockFileProgram(const QByteArray &content);
// Whether the running process under a lock file's PID is the program the file names, as
// QLockFile tells a lock left by a killed run from a PID reused since. exe is the target of
// /proc/PID/exe, comm /proc/PID/comm (15 bytes at most); each is empty when it cannot be read
// (another user's process, /proc mounted with hidepid): one that cannot be told apart counts
// as the program, which holds the port.
bool runsLockFileProgram(const QByteArray &program, const QByteArray &exe, const QByteArray &comm);

// Whether a lock file that names no process still holds the port: it may be one that another
// program has created and not yet written. Either way from now, for a clock set back.
bool garbledLockHolds(time_t modified, time_t now);

// A lock directory as the user who would remove a file from it sees it.
struct LockDirectoryAccess {
    bool writable;
    bool sticky;
    uid_t owner;
};
// Whether the user may take a stale lock file away, as Qt Serial Port would: unlink it from
// its directory, sticky as lock directories are.
bool mayRemoveLockFile(uid_t user, uid_t fileOwner, const LockDirectoryAccess &directory);

#endif
