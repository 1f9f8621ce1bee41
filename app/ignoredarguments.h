// SPDX-License-Identifier: MIT
#ifndef MORVEK_IGNOREDARGUMENTS_H
#define MORVEK_IGNOREDARGUMENTS_H

#include <QCommandLineOption>
#include <QList>
#include <QStringList>

// The arguments (without the program's name) split into those the options use and those
// they ignore, each as given. An option is written with one dash or two (-v, -verbose,
// --verbose) and short options are not bundled. Ignored: unknown options, extra words,
// everything after "--", and a value given to an option that takes none (--verbose=1), which
// then has no effect. An option that takes a value takes the next argument unless it is
// written --option=VALUE; one whose value is missing counts as used, so that its parser can
// say so.
struct ArgumentSplit {
    QStringList used;
    QStringList ignored;
    // Of the ignored, the words that are no options, and everything after "--".
    QStringList words;
};
ArgumentSplit splitArguments(const QList<QCommandLineOption> &options,
                             const QStringList &arguments);

#endif
