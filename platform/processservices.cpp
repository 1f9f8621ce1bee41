#include "processservices.h"

#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#else
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

void openMissingStandardStreams()
{
#ifndef Q_OS_WIN
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() takes the lowest free descriptor, which is this one. Read-only, so that
        // writing to a stream the caller closed still fails, as it would have.
        const int opened = open("/dev/null", O_RDONLY);
        if (opened != fd && opened >= 0)
            close(opened);
    }
#endif
    // Windows keeps standard handles apart from the descriptors that files and the event
    // loop use, so nothing can take their place there.
}

bool writeStandardOutput(const QByteArray &bytes)
{
#ifdef Q_OS_WIN
    // Text mode would turn every line feed of a reply into CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const size_t size = size_t(bytes.size());
    const bool written = std::fwrite(bytes.constData(), 1, size, stdout) == size;
    const bool flushed = std::fflush(stdout) == 0;
    return written && flushed && !std::ferror(stdout);
}

bool writeStandardError(const QByteArray &bytes)
{
#ifdef Q_OS_WIN
    const size_t size = size_t(bytes.size());
    return std::fwrite(bytes.constData(), 1, size, stderr) == size && std::fflush(stderr) == 0;
#else
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

    const char *data = bytes.constData();
    size_t left = size_t(bytes.size());
    bool brokenPipe = false;
    while (left > 0) {
        const ssize_t n = write(STDERR_FILENO, data, left);
        if (n < 0 && errno == EINTR)
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
#endif
}

void endProcess(int status)
{
    std::fflush(stdout);
    std::exit(status);
}

QString minusOneStatusText()
{
#ifdef Q_OS_WIN
    return QStringLiteral("-1");
#else
    return QStringLiteral("255");
#endif
}

QStringList platformHelpArguments()
{
#ifdef Q_OS_WIN
    return {QStringLiteral("/?"), QStringLiteral("-?")};
#else
    return {};
#endif
}
