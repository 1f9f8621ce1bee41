// SPDX-License-Identifier: MIT
#include "platform/linux/lockfiles.h"

#include "platform/linux/holdermessages.h"
#include "platform/linux/lockfilerules.h"
#include "platform/linux/processholders.h"
#include "platform/linux/smallfile.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What sits at a lock path when it is not a regular file. A FIFO or a device would make Qt
// Serial Port's read of it wait for ever or never end, and a link could point it at any file.
QString notALockFile(const QByteArray &file, const struct stat &st)
{
    std::optional<QByteArray> target;
    if (S_ISLNK(st.st_mode)) {
        char bytes[linkTargetShown];
        const ssize_t n = readlink(file.constData(), bytes, sizeof bytes);
        if (n >= 0)
            target = QByteArray(bytes, int(n));
    }
    return notALockFile(file, st.st_mode, target);
}

bool mayRemove(const QByteArray &directory, const struct stat &file)
{
    struct stat dir = {};
    LockDirectoryAccess access = {false, false, 0};
    if (geteuid() != 0 && stat(directory.constData(), &dir) == 0) {
        access.writable = faccessat(AT_FDCWD, directory.constData(), W_OK | X_OK, AT_EACCESS) == 0;
        access.sticky = (dir.st_mode & S_ISVTX) != 0;
        access.owner = dir.st_uid;
    }
    return mayRemoveLockFile(geteuid(), file.st_uid, access);
}

// Whether the lock file's content names a running process, and one running the program the
// file names, when it names one: a lock of a killed run does not hold the port for whatever
// process gets its PID next.
bool namesRunningProcess(const QByteArray &content)
{
    const pid_t pid = lockFilePid(content);
    if (pid <= 0 || !isRunning(pid))
        return false;
    const QByteArray program = lockFileProgram(content);
    return program.isEmpty() ||
           runsLockFileProgram(program, processExecutable(pid), processCommand(pid));
}

} // namespace

QString lockFileHolder(const QByteArray &name, QByteArray *stale)
{
    for (const QByteArray &directory : lockDirectories()) {
        for (const QByteArray &file :
             {directory + '/' + name, directory + '/' + removalLockName(name)}) {
            struct stat st = {};
            if (lstat(file.constData(), &st) != 0)
                continue;
            if (!S_ISREG(st.st_mode))
                return notALockFile(file, st);
            const std::optional<QByteArray> content = readSmallFile(file, 64);
            if (!content) {
                // Unreadable to this user, or replaced by something else since the look above.
                const int error = errno;
                struct stat now = {};
                if (lstat(file.constData(), &now) == 0 && !S_ISREG(now.st_mode))
                    return notALockFile(file, now);
                return unreadableLockFile(file, error);
            }
            const pid_t pid = lockFilePid(*content);
            // A running program holds the .rmlock while it hands its lock file over to Qt
            // Serial Port (another run of ours) or takes a stale one away: the port is its.
            // A lock file of ours created in that moment would fail its open, and ours too.
            if (file.endsWith(".rmlock")) {
                if (pid > 0 && pid != getpid() && namesRunningProcess(*content))
                    return takingLockFileOver(pid, file);
                continue;
            }
            // A garbled lock file holds the port for a while, as Qt Serial Port would have
            // it, since another program may have created it and not yet written it.
            if (pid <= 0 && garbledLockHolds(st.st_mtime, time(nullptr)))
                return lockFileNamesNoProcess(file);
            // One naming this very process was left by an earlier process with the same
            // PID, or is Qt's own for another line object of ours.
            if (pid == getpid())
                continue;
            if (namesRunningProcess(*content))
                return heldThroughLockFile(pid, file);
            // An ended process's, or an old garbled one: taken away here, within the rules, and
            // never left to Qt Serial Port, whose QLockFile reads a lock file whole, however
            // large any user has made it.
            if (!mayRemove(directory, st))
                return pid > 0 ? staleLockFileOfAnotherUser(file, st.st_uid, pid)
                               : garbledLockFileOfAnotherUser(file, st.st_uid);
            if (stale->isEmpty())
                *stale = file;
        }
    }
    return QString();
}

int createLockFile(const QByteArray &path)
{
    const int fd =
        open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    const QByteArray content = hdbLockContent(getpid());
    if (write(fd, content.constData(), size_t(content.size())) != content.size()) {
        const int error = errno;
        unlink(path.constData());
        close(fd);
        errno = error == 0 ? EIO : error;
        return -1;
    }
    return fd;
}

int createRemovalLock(const QByteArray &path, QString *holder)
{
    const QByteArray content = qtLockContent(getpid(), ownProgram());
    int fd = -1;
    int error = 0;
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        fd = open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        error = fd < 0 ? errno : 0;
        // One left by a process that ended while it had it, or older than QLockFile respects,
        // is taken away, as QLockFile would.
        if (fd < 0 && (error != EEXIST || !removeIfUnchanged(path, true)))
            break;
    }
    if (fd >= 0) {
        errno = 0;
        if (write(fd, content.constData(), size_t(content.size())) == content.size())
            return fd;
        error = errno == 0 ? EIO : errno;
        unlink(path.constData());
        close(fd);
    }
    // Another Qt program is taking a lock file of this port over right now.
    const QByteArray there = readSmallFile(path, 64).value_or(QByteArray());
    *holder = error == EEXIST && namesRunningProcess(there)
                  ? takingLockFileOver(lockFilePid(there), path)
                  : cannotCreate(path, error);
    return -1;
}

bool removeIfUnchanged(const QByteArray &file, bool orAged)
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
    const bool old = !garbledLockHolds(opened.st_mtime, time(nullptr));
    return ((pid > 0 && !namesRunningProcess(content)) || (old && (orAged || pid <= 0))) &&
           unlink(file.constData()) == 0;
}

void unlinkIfStillOurs(const QByteArray &path, int fd)
{
    struct stat there = {};
    struct stat mine = {};
    if (lstat(path.constData(), &there) == 0 && fstat(fd, &mine) == 0 &&
        there.st_dev == mine.st_dev && there.st_ino == mine.st_ino)
        unlink(path.constData());
    close(fd);
}
