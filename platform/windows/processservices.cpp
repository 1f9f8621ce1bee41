// SPDX-License-Identifier: MIT
#include "platform/processservices.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

void openMissingStandardStreams()
{
    // Windows keeps standard handles apart from the descriptors that files and the event
    // loop use, so nothing can take their place there.
}

bool writeStandardOutput(const QByteArray &bytes)
{
    // Text mode would turn every line feed of a reply into CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
    const size_t size = size_t(bytes.size());
    const bool written = std::fwrite(bytes.constData(), 1, size, stdout) == size;
    const bool flushed = std::fflush(stdout) == 0;
    return written && flushed && !std::ferror(stdout);
}

bool writeStandardError(const QByteArray &bytes)
{
    const size_t size = size_t(bytes.size());
    return std::fwrite(bytes.constData(), 1, size, stderr) == size && std::fflush(stderr) == 0;
}

void endProcess(int status)
{
    // Not exit(): it would tear down Qt's global statics while Qt's I/O completion thread may
    // still be handing over the cancelled reads of the ports just closed, and a crash there
    // turned a run that had printed its reading into a failed one. Nor ExitProcess(), which
    // _Exit() calls: it stops the other threads and then runs the C library's exit, which
    // under Wine now and then never finished, and Wine killed the run half a second later.
    // All is written by now, so the process ends where it stands.
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), UINT(status));
    std::_Exit(status);
}
