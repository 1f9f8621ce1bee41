#include "processservices.h"

#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

void writeStandardOutput(const QByteArray &bytes)
{
#ifdef Q_OS_WIN
    // Text mode would turn every line feed of a reply into CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void endProcess(int status)
{
    std::fflush(stdout);
    std::exit(status);
}
