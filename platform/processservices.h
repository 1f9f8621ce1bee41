// SPDX-License-Identifier: MIT
#ifndef MORVEK_PROCESSSERVICES_H
#define MORVEK_PROCESSSERVICES_H

#include <QByteArray>

// Opens the null device on any of standard input, output and error that the process was
// started without, so that no file opened later can take the place of standard output.
// Call it first thing, before anything opens a file.
void openMissingStandardStreams();

// Writes the bytes to standard output exactly as they are (no newline, no text-mode
// translation) and flushes them. False when not all of them could be written.
bool writeStandardOutput(const QByteArray &bytes);

// Writes the bytes to standard error. False when not all of them could be written. A
// reader that has gone away gives false, not SIGPIPE: the signal stays for standard output.
// No call waits more than a few milliseconds for a reader that does not read: it gives
// false instead, with what it could write written.
bool writeStandardError(const QByteArray &bytes);

// Ends the process at once with the given exit status; standard output is flushed first.
// After an end signal (EndSignals) the process ends by that signal instead.
[[noreturn]] void endProcess(int status);

#endif
