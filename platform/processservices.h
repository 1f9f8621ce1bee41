#ifndef MORVEK_PROCESSSERVICES_H
#define MORVEK_PROCESSSERVICES_H

#include <QByteArray>
#include <QString>
#include <QStringList>

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

// The exit status -1 as callers on this platform see it: "-1" on Windows, where a status is
// a signed 32-bit value, "255" where only its low byte reaches the parent.
QString minusOneStatusText();

// Arguments that ask for help in this platform's own form beyond -h and --help: /? and -?
// on Windows, none elsewhere (where they stay ordinary, ignored arguments).
QStringList platformHelpArguments();

// Ends the process at once with the given exit status; standard output is flushed first.
// After an end signal (EndSignals) the process ends by that signal instead.
[[noreturn]] void endProcess(int status);

#endif
