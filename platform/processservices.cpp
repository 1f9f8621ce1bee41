#include "processservices.h"

#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#else
#include <cerrno>
#include <fcntl.h>
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

void writeStandardError(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
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
