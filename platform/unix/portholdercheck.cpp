// SPDX-License-Identifier: MIT
#include "platform/portholdercheck.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// How long QLockFile, and so Qt Serial Port, respects a lock file that names no process.
const int garbledLockHoldsS = 30;

// The directories where serial programs on Linux put their lock files.
const char *const lockDirectories[] = {"/var/lock", "/run/lock"};

// At most `limit` bytes of a regular file. Opened without blocking, never through a
// symbolic link and read only when it is a regular file, so that a FIFO in its place is
// not waited for and a link cannot make us open some device.
std::optional<QByteArray> readSmallFile(const QByteArray &path, int limit)
{
    const int fd =
        open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st = {};
    std::optional<QByteArray> content;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        QByteArray bytes(limit, '\0');
        int size = 0;
        while (size < limit) {
            const ssize_t n = read(fd, bytes.data() + size, size_t(limit - size));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            size += int(n);
        }
        bytes.truncate(size);
        content = bytes;
    }
    close(fd);
    return content;
}

// The lock file name for a tty, as Qt Serial Port forms it: the path below /dev, with
// every slash turned into an underscore. For /dev/ttyACM0 that is LCK..ttyACM0, the name
// that other serial programs use too.
QByteArray lockFileName(const QString &path)
{
    QString name = path.startsWith(QStringLiteral("/dev/")) ? path.mid(5) : path;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return "LCK.." + name.toLocal8Bit();
}

// The process a lock file names: its first line in ASCII (the HDB form, "%10d\n", and Qt's
// own form both start so), or the old binary form of exactly four bytes. 0 when garbled.
pid_t lockFilePid(const QByteArray &content)
{
    const int lineEnd = content.indexOf('\n');
    const QByteArray line = (lineEnd < 0 ? content : content.left(lineEnd)).trimmed();
    bool digits = !line.isEmpty() && line.size() <= 10;
    for (const char c : line)
        digits = digits && c >= '0' && c <= '9';
    if (digits) {
        const qlonglong pid = line.toLongLong();
        return pid > 0 && pid <= std::numeric_limits<pid_t>::max() ? pid_t(pid) : 0;
    }
    if (content.size() == int(sizeof(qint32))) {
        qint32 pid = 0;
        std::memcpy(&pid, content.constData(), sizeof pid);
        return pid > 0 ? pid_t(pid) : 0;
    }
    return 0;
}

// Whether the process runs; one of another user still runs when we may not signal it.
bool isRunning(pid_t pid)
{
    return kill(pid, 0) == 0 || errno == EPERM;
}

QString processText(pid_t pid)
{
    QByteArray name =
        readSmallFile("/proc/" + QByteArray::number(qlonglong(pid)) + "/comm", 64).value_or("");
    if (name.endsWith('\n'))
        name.chop(1);
    return name.isEmpty()
               ? QStringLiteral("process %1").arg(pid)
               : QStringLiteral("process %1 (%2)").arg(pid).arg(QString::fromLocal8Bit(name));
}

// The directory where Qt Serial Port puts its lock file wherever it may write to /var/lock.
QByteArray qtLockDirectory()
{
    return QByteArray(lockDirectories[0]);
}

// A new lock file in the HDB form ("%10d\n", this process), or -1 with errno set.
int createLockFile(const QByteArray &path)
{
    const int fd =
        open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    const QByteArray content = QByteArray::number(qlonglong(getpid())).rightJustified(10) + '\n';
    if (write(fd, content.constData(), size_t(content.size())) != content.size()) {
        const int error = errno;
        unlink(path.constData());
        close(fd);
        errno = error == 0 ? EIO : error;
        return -1;
    }
    return fd;
}

// What sits at a lock path when it is not a regular file. Nothing there is ever opened,
// followed or removed: a FIFO or a device would make Qt Serial Port's read of it wait for
// ever or never end, and a link could point it at any file.
QString notALockFile(const QByteArray &file, const struct stat &st)
{
    QString what;
    if (S_ISLNK(st.st_mode)) {
        char target[256];
        const ssize_t n = readlink(file.constData(), target, sizeof target);
        what =
            QStringLiteral("a symbolic link to %1")
                .arg(n < 0 ? QStringLiteral("?")
                           : QString::fromLocal8Bit(target, int(n)) +
                                 (size_t(n) == sizeof target ? QStringLiteral("...") : QString()));
    } else if (S_ISDIR(st.st_mode)) {
        what = QStringLiteral("a directory");
    } else if (S_ISFIFO(st.st_mode)) {
        what = QStringLiteral("a FIFO");
    } else if (S_ISSOCK(st.st_mode)) {
        what = QStringLiteral("a socket");
    } else {
        what = QStringLiteral("a device");
    }
    return QStringLiteral("Permission error while locking the device: %1 is %2, not a lock "
                          "file; the port counts as held until it is removed")
        .arg(QString::fromLocal8Bit(file), what);
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

// Whether this process may take a stale lock file away, as Qt Serial Port would: open it
// for writing and unlink it from its directory, sticky as lock directories are.
bool mayRemove(const QByteArray &directory, const struct stat &file)
{
    if (geteuid() == 0)
        return true;
    struct stat dir = {};
    if (stat(directory.constData(), &dir) != 0)
        return false;
    const bool sticky = (dir.st_mode & S_ISVTX) != 0;
    return faccessat(AT_FDCWD, directory.constData(), W_OK | X_OK, AT_EACCESS) == 0 &&
           (!sticky || file.st_uid == geteuid() || dir.st_uid == geteuid());
}

// Unlinks a stale lock file, unless another program has put its own in its place since it
// was read. Stale: it names a process that has ended, or, with staleAfterS, is older than
// that, whatever it names.
bool removeIfUnchanged(const QByteArray &file, int staleAfterS = 0)
{
    const int fd = open(file.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat opened = {};
    struct stat there = {};
    const bool same = fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
                      lstat(file.constData(), &there) == 0 && there.st_dev == opened.st_dev &&
                      there.st_ino == opened.st_ino;
    QByteArray content(64, '\0');
    const ssize_t n = same ? read(fd, content.data(), size_t(content.size())) : -1;
    close(fd);
    if (n < 0)
        return false;
    content.truncate(int(n));
    const pid_t pid = lockFilePid(content);
    const bool aged = staleAfterS > 0 && std::abs(time(nullptr) - opened.st_mtime) > staleAfterS;
    return ((pid > 0 && !isRunning(pid)) || aged) && unlink(file.constData()) == 0;
}

// Unlinks the file at path while it is still the one open on fd, then closes fd: someone
// may have taken a stale-looking file of ours away and put their own in its place.
void unlinkIfStillOurs(const QByteArray &path, int fd)
{
    struct stat there = {};
    struct stat mine = {};
    if (lstat(path.constData(), &there) == 0 && fstat(fd, &mine) == 0 &&
        there.st_dev == mine.st_dev && there.st_ino == mine.st_ino)
        unlink(path.constData());
    close(fd);
}

// This program as /proc names it: QLockFile takes a lock file for one of a running process
// only when its second line gives the name of the program running under that PID.
QByteArray ownProgram()
{
    char target[4096];
    const ssize_t n = readlink("/proc/self/exe", target, sizeof target);
    if (n > 0 && size_t(n) < sizeof target && !std::memchr(target, '\n', size_t(n)))
        return QByteArray(target, int(n));
    // QLockFile follows this link to the same name.
    return "/proc/" + QByteArray::number(qlonglong(getpid())) + "/exe";
}

// Who holds the line by a lock file in one of the lock directories; empty when nobody
// does. *stale becomes the path of a lock file of an ended process that may be taken away.
QString lockFileHolder(const QByteArray &name, QByteArray *stale)
{
    for (const char *directory : lockDirectories) {
        for (const QByteArray &file :
             {QByteArray(directory) + '/' + name, QByteArray(directory) + '/' + name + ".rmlock"}) {
            struct stat st = {};
            if (lstat(file.constData(), &st) != 0)
                continue;
            if (!S_ISREG(st.st_mode))
                return notALockFile(file, st);
            // A regular .rmlock is Qt's own business, and Qt reads it with a bound.
            if (file.endsWith(".rmlock"))
                continue;
            const std::optional<QByteArray> content = readSmallFile(file, 64);
            // Replaced by something else since the look above.
            if (!content)
                return notALockFile(file, st);
            const pid_t pid = lockFilePid(*content);
            // A garbled lock file holds the port for 30 s, as Qt Serial Port would have it:
            // it may be one that another program has created and not yet written, which
            // Qt Serial Port would take for stale once written. An older one is left to Qt
            // Serial Port, which takes it over.
            if (pid <= 0 && std::abs(time(nullptr) - st.st_mtime) <= garbledLockHoldsS) {
                return QStringLiteral("Permission error while locking the device: the lock "
                                      "file %1 names no process; it counts as held until it "
                                      "is %2 s old")
                    .arg(QString::fromLocal8Bit(file))
                    .arg(garbledLockHoldsS);
            }
            // One naming this very process was left by an earlier process with the same
            // PID, or is Qt's own for another line object of ours.
            if (pid <= 0 || pid == getpid())
                continue;
            if (isRunning(pid)) {
                // Worded as Qt Serial Port words a lock it respects, so both read alike.
                return QStringLiteral("Permission error while locking the device: held by %1 "
                                      "through the lock file %2")
                    .arg(processText(pid), QString::fromLocal8Bit(file));
            }
            if (!mayRemove(directory, st)) {
                return QStringLiteral("Permission error while locking the device: the lock "
                                      "file %1 of user %2 names process %3, which has ended, "
                                      "and only %2 or an administrator can remove it (rm %1)")
                    .arg(QString::fromLocal8Bit(file), userName(st.st_uid))
                    .arg(pid);
            }
            if (stale->isEmpty())
                *stale = file;
        }
    }
    return QString();
}

// The process that took the exclusive flock on the file open on fd, from the kernel's list
// of locks; 0 when it is not listed there. It may have ended, leaving the lock to a child.
pid_t flockHolder(int fd)
{
    struct stat st = {};
    if (fstat(fd, &st) != 0)
        return 0;
    // The kernel writes the device as hex major:minor and the inode in decimal.
    const QByteArray file = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(qulonglong(st.st_ino));
    const QByteArray locks = readSmallFile("/proc/locks", 1 << 20).value_or("");
    for (const QByteArray &line : locks.split('\n')) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:05:1027 0 EOF"; waiters have "->" after the number.
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields.at(1) == "FLOCK" && fields.at(3) == "WRITE" &&
            fields.at(5) == file)
            return pid_t(fields.at(4).toLongLong());
    }
    return 0;
}

// Whether another open file of the tty holds an exclusive flock on it; then who does.
// Takes the lock on fd when it is free.
QString flockHolderText(int fd)
{
    int locked = -1;
    do
        locked = flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EINTR);
    if (locked == 0 || errno != EWOULDBLOCK)
        return QString();
    const pid_t pid = flockHolder(fd);
    return QStringLiteral("held by %1 through an exclusive flock on the tty")
        .arg(pid > 0 && isRunning(pid) ? processText(pid) : QStringLiteral("another program"));
}

} // namespace

PortHolderCheck::~PortHolderCheck()
{
    releaseOwnLock();
    releaseGuard();
    closeProbe();
}

void PortHolderCheck::closeProbe()
{
    if (probe >= 0)
        close(probe);
    probe = -1;
}

void PortHolderCheck::releaseOwnLock()
{
    if (ownLock < 0)
        return;
    unlinkIfStillOurs(ownLockPath, ownLock);
    ownLock = -1;
}

void PortHolderCheck::releaseGuard()
{
    if (guard < 0)
        return;
    unlinkIfStillOurs(guardPath, guard);
    guard = -1;
}

QString PortHolderCheck::takeGuard()
{
    const QByteArray path = qtLockDirectory() + '/' + lockName + ".rmlock";
    // QLockFile's own form, naming this process, so that QLockFile respects it.
    const QByteArray content = QByteArray::number(qlonglong(getpid())) + '\n' + ownProgram() + '\n';
    int error = 0;
    for (int attempt = 0; attempt < 2 && guard < 0; ++attempt) {
        guard = open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        error = guard < 0 ? errno : 0;
        // One left by a process that ended while it had it, or older than QLockFile respects,
        // is taken away, as QLockFile would.
        if (guard < 0 && (error != EEXIST || !removeIfUnchanged(path, garbledLockHoldsS)))
            break;
    }
    if (guard >= 0) {
        errno = 0;
        if (write(guard, content.constData(), size_t(content.size())) == content.size()) {
            guardPath = path;
            return QString();
        }
        error = errno == 0 ? EIO : errno;
        unlink(path.constData());
        close(guard);
        guard = -1;
    }
    // Another Qt program is taking a lock file of this port over right now.
    const pid_t pid = lockFilePid(readSmallFile(path, 64).value_or(QByteArray()));
    if (error == EEXIST && pid > 0 && isRunning(pid)) {
        return QStringLiteral("Permission error while locking the device: held by %1 through "
                              "%2, taking a lock file of the port over")
            .arg(processText(pid), QString::fromLocal8Bit(path));
    }
    return QStringLiteral("Permission error while locking the device: cannot create %1 (%2)")
        .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(std::strerror(error)));
}

QString PortHolderCheck::holderBeforeOpen(const QString &path)
{
    const QByteArray name = lockFileName(path);
    const QByteArray ownPath = qtLockDirectory() + '/' + name;
    // The lock file is taken at once, in the form every serial program respects, and kept
    // through the looks below: a program that locks the line meanwhile finds it taken
    // instead of having its own lock taken for stale by Qt Serial Port.
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
        if (errno != EEXIST)
            break;
        // Looked at again: a lock file taken since the look, or a stale one taken away.
        // A garbled one, or this very process's, is left to Qt Serial Port, as it always was.
        if (stale == ownPath)
            removeIfUnchanged(stale);
    }

    // Exclusive mode keeps everybody but root from opening the tty; root has to ask.
    QString holder;
    probe = open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int exclusive = 0;
    if ((probe < 0 && errno == EBUSY) ||
        (probe >= 0 && ioctl(probe, TIOCGEXCL, &exclusive) == 0 && exclusive)) {
        holder = QStringLiteral("held by another program: the tty is in exclusive mode (TIOCEXCL)");
    } else if (probe >= 0) {
        // A flock holder is found here already, before the open applies our line settings
        // to its tty. The lock is let go again at once: the line takes its own after the
        // open.
        holder = flockHolderText(probe);
        flock(probe, LOCK_UN);
    }
    // Handed over last, right before Qt Serial Port creates its own lock file in its place.
    // Qt Serial Port takes a lock file that another program creates in this moment for stale;
    // it removes one only while it holds the .rmlock beside it, so with ours there its open
    // fails and the other program keeps its lock. (An inotify watch saw such a file only once
    // it was deleted, and closing the watch made every run wait ~16 ms for the kernel.)
    lockName = name;
    if (holder.isEmpty() && ownLock >= 0)
        holder = takeGuard();
    releaseOwnLock();
    return holder;
}

QString PortHolderCheck::holderAfterOpen(const QSerialPort &line)
{
    const bool guarded = guard >= 0;
    releaseGuard();
    if (!line.isOpen()) {
        closeProbe();
        if (!guarded)
            return QString();
        // The open failed on a lock file that another program created in the moment of the
        // open, or on nothing of the kind; it says which.
        QByteArray stale;
        return lockFileHolder(lockName, &stale);
    }
    // Another program may have taken its flock since the look before the open.
    const QString holder = flockHolderText(line.handle());
    // The line itself keeps the tty open from here on.
    closeProbe();
    return holder;
}
