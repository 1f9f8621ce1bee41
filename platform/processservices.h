#ifndef MORVEK_PROCESSSERVICES_H
#define MORVEK_PROCESSSERVICES_H

#include <QByteArray>

// Writes the bytes to standard output exactly as they are (no newline, no text-mode
// translation) and flushes them.
void writeStandardOutput(const QByteArray &bytes);

// Ends the process at once with the given exit status; standard output is flushed first.
[[noreturn]] void endProcess(int status);

#endif
