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
#include <sys/inotify.h>
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
// was read.
bool removeIfUnchanged(const QByteArray &file)
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
    return pid > 0 && !isRunning(pid) && unlink(file.constData()) == 0;
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
    if (watch >= 0)
        close(watch);
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
    // Only while the file there is still ours: someone may have taken a stale-looking file
    // of ours away and put their own in its place.
    struct stat there = {};
    struct stat mine = {};
    if (lstat(ownLockPath.constData(), &there) == 0 && fstat(ownLock, &mine) == 0 &&
        there.st_dev == mine.st_dev && there.st_ino == mine.st_ino)
        unlink(ownLockPath.constData());
    close(ownLock);
    ownLock = -1;
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
    // What happens at the path from here on is watched: Qt Serial Port takes a lock file that
    // another program creates in this last moment for stale and deletes it.
    if (holder.isEmpty() && ownLock >= 0) {
        watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watch >= 0 &&
            inotify_add_watch(watch, qtLockDirectory().constData(), IN_CREATE | IN_MOVED_TO) < 0) {
            close(watch);
            watch = -1;
        }
        watchedName = name;
    }
    releaseOwnLock();
    return holder;
}

bool PortHolderCheck::lockTakenDuringOpen()
{
    if (watch < 0)
        return false;
    // Qt Serial Port's own lock file is one new file of that name; any other was another
    // program's, and Qt Serial Port has taken it away.
    int created = 0;
    bool overflow = false;
    alignas(inotify_event) char events[4096];
    ssize_t n = 0;
    while ((n = read(watch, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(events + at);
            overflow = overflow || (event->mask & IN_Q_OVERFLOW);
            if (event->len > 0 && watchedName == event->name)
                ++created;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    close(watch);
    watch = -1;
    return overflow || created > 1;
}

QString PortHolderCheck::holderAfterOpen(const QSerialPort &line)
{
    if (lockTakenDuringOpen()) {
        closeProbe();
        return QStringLiteral("Permission error while locking the device: another program "
                              "locked the port at the moment of the open; it is left to it");
    }
    // Another program may have taken its flock since the look before the open.
    const QString holder = flockHolderText(line.handle());
    // The line itself keeps the tty open from here on.
    closeProbe();
    return holder;
}
