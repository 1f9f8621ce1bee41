// SPDX-License-Identifier: MIT
#include "ignoredarguments.h"

#include <QCommandLineParser>

QStringList ignoredArguments(const QList<QCommandLineOption> &options, const QStringList &arguments)
{
    QStringList ignored;
    bool optionsEnded = false;
    for (const QString &argument : arguments) {
        if (optionsEnded) {
            ignored << argument;
            continue;
        }
        if (argument == QStringLiteral("--")) {
            optionsEnded = true;
            continue;
        }
        // Each argument on its own, through a parser like the program's, so that what
        // counts as used is what that parser uses.
        QCommandLineParser parser;
        parser.addOptions(options);
        // parse() fails on an unknown option and on an unexpected value.
        if (!parser.parse({QString(), argument}) || !parser.positionalArguments().isEmpty())
            ignored << argument;
    }
    return ignored;
}
