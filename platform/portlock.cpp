#include "portlock.h"

#include <QtGlobal>

#ifdef Q_OS_WIN

PortLock::~PortLock() = default;

QString PortLock::holderBeforeOpen(const QString &path)
{
    Q_UNUSED(path)
    return QString();
}

QString PortLock::holderAfterOpen(const QSerialPort &line)
{
    Q_UNUSED(line)
    return QString();
}

#else

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

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

PortLock::~PortLock()
{
    if (probe >= 0)
        close(probe);
}

QString PortLock::holderBeforeOpen(const QString &path)
{
    const QByteArray name = lockFileName(path);
    for (const char *directory : lockDirectories) {
        const QByteArray file = QByteArray(directory) + '/' + name;
        const pid_t pid = lockFilePid(readSmallFile(file, 64).value_or(""));
        // A lock file that is garbled or names a dead process is left to Qt Serial Port,
        // which takes it over; one naming this very process was left by an earlier
        // process with the same PID, or is Qt's own for another line object of ours.
        if (pid > 0 && pid != getpid() && isRunning(pid)) {
            // Worded as Qt Serial Port words a lock it respects, so both read alike.
            return QStringLiteral("Permission error while locking the device: held by %1 "
                                  "through the lock file %2")
                .arg(processText(pid), QString::fromLocal8Bit(file));
        }
    }

    // Exclusive mode keeps everybody but root from opening the tty; root has to ask.
    probe = open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int exclusive = 0;
    if ((probe < 0 && errno == EBUSY) ||
        (probe >= 0 && ioctl(probe, TIOCGEXCL, &exclusive) == 0 && exclusive))
        return QStringLiteral("held by another program: the tty is in exclusive mode (TIOCEXCL)");
    // A flock holder is found here already, before the open applies our line settings to
    // its tty. The lock is let go again at once: the line takes its own after the open.
    if (probe < 0)
        return QString();
    const QString holder = flockHolderText(probe);
    flock(probe, LOCK_UN);
    return holder;
}

QString PortLock::holderAfterOpen(const QSerialPort &line)
{
    // Another program may have taken its flock since the look before the open.
    const QString holder = flockHolderText(line.handle());
    // The line itself keeps the tty open from here on.
    if (probe >= 0)
        close(probe);
    probe = -1;
    return holder;
}

#endif
