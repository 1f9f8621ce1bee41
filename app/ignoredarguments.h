// SPDX-License-Identifier: MIT
#ifndef MORVEK_IGNOREDARGUMENTS_H
#define MORVEK_IGNOREDARGUMENTS_H

#include <QCommandLineOption>
#include <QList>
#include <QStringList>

// The arguments (without the program's name) that the options do not use, in whole or in
// part, as they were given: unknown options, extra words, everything after "--", a value
// given to an option that takes none, and a group of short options holding an unknown one.
QStringList ignoredArguments(const QList<QCommandLineOption> &options,
                             const QStringList &arguments);

#endif
