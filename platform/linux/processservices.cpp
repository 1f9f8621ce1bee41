// SPDX-License-Identifier: MIT
#include "platform/processservices.h"

#include "platform/endsignals.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

void openMissingStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() takes the lowest free descriptor, which is this one. Read-only, so that
        // writing to a stream the caller closed still fails, as it would have.
        const int opened = open("/dev/null", O_RDONLY);
        if (opened != fd && opened >= 0)
            close(opened);
    }
}

bool writeStandardOutput(const QByteArray &bytes)
{
    const size_t size = size_t(bytes.size());
    const bool written = std::fwrite(bytes.constData(), 1, size, stdout) == size;
    const bool flushed = std::fflush(stdout) == 0;
    return written && flushed && !std::ferror(stdout);
}

namespace {

// How long one write of the trace may wait for its reader. Past that the trace ends and
// the run goes on: a reader that stalls cannot stall the run.
const int standardErrorWaitMs = 5;

// How standard error is written so that no write blocks for longer than the bound.
enum class ErrorSink {
    // A file or block device: written as it is (a disk has no reader to wait for).
    File,
    // A socket: sent without waiting (MSG_DONTWAIT), leaving its flags alone.
    Socket,
    // A pipe, FIFO or terminal: through an open file of its own, non-blocking, so that the
    // flags of the one that the caller shares with others stay as they are.
    OwnNonBlocking,
    // The same when it cannot be opened again: written when ready, a pipe's atomic size at
    // a time, which a ready pipe takes without waiting.
    WhenReady,
};

struct StandardError {
    ErrorSink sink = ErrorSink::File;
    int fd = STDERR_FILENO;
};

const StandardError &standardError()
{
    static const StandardError chosen = [] {
        StandardError error;
        struct stat st = {};
        if (fstat(STDERR_FILENO, &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))
            return error;
        if (S_ISSOCK(st.st_mode)) {
            error.sink = ErrorSink::Socket;
            return error;
        }
        error.sink = ErrorSink::WhenReady;
        const int own = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat ownSt = {};
        if (own >= 0 && fstat(own, &ownSt) == 0 && ownSt.st_dev == st.st_dev &&
            ownSt.st_ino == st.st_ino && ownSt.st_rdev == st.st_rdev) {
            error.sink = ErrorSink::OwnNonBlocking;
            error.fd = own;
        } else if (own >= 0) {
            close(own);
        }
        return error;
    }();
    return chosen;
}

qint64 monotonicMs()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits up to the deadline for the descriptor to take more bytes.
bool writableBefore(int fd, qint64 deadlineMs)
{
    for (;;) {
        const qint64 left = deadlineMs - monotonicMs();
        if (left <= 0)
            return false;
        pollfd writable = {fd, POLLOUT, 0};
        const int ready = poll(&writable, 1, int(left));
        if (ready > 0)
            return (writable.revents & POLLOUT) != 0;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

// One write that never waits longer than the deadline; -1 with errno EAGAIN past it.
ssize_t boundedWrite(const StandardError &error, const char *data, size_t size, qint64 deadlineMs)
{
    switch (error.sink) {
    case ErrorSink::File:
        return write(error.fd, data, size);
    case ErrorSink::Socket:
        return send(error.fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    case ErrorSink::OwnNonBlocking:
        return write(error.fd, data, size);
    case ErrorSink::WhenReady:
        break;
    }
    if (!writableBefore(error.fd, deadlineMs)) {
        errno = EAGAIN;
        return -1;
    }
    return write(error.fd, data, std::min(size, size_t(PIPE_BUF)));
}

} // namespace

bool writeStandardError(const QByteArray &bytes)
{
    // SIGPIPE is held back while writing, and one that the write raised is taken away
    // before it is let through again; the signal's disposition stays as the caller set it.
    // errno is kept too: the trace is written between a failure and its report.
    const int callersErrno = errno;
    sigset_t pipeSignal;
    sigset_t oldMask;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &oldMask);
    sigset_t pending;
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;

    const StandardError &error = standardError();
    const qint64 deadlineMs = monotonicMs() + standardErrorWaitMs;
    const char *data = bytes.constData();
    size_t left = size_t(bytes.size());
    bool brokenPipe = false;
    while (left > 0) {
        const ssize_t n = boundedWrite(error, data, left, deadlineMs);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            error.sink != ErrorSink::WhenReady && writableBefore(error.fd, deadlineMs))
            continue;
        if (n <= 0) {
            brokenPipe = n < 0 && errno == EPIPE;
            break;
        }
        data += n;
        left -= size_t(n);
    }

    if (brokenPipe && !alreadyPending) {
        const timespec noWait = {0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    errno = callersErrno;
    return left == 0;
}

void endProcess(int status)
{
    std::fflush(stdout);
    endByCaughtSignal();
    std::exit(status);
}
