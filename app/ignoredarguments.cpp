// SPDX-License-Identifier: MIT
#include "ignoredarguments.h"

#include <QCommandLineParser>

namespace {

// The option that an argument names, when it names one that takes a value, without a value
// of its own after "=".
bool takesNextArgument(const QList<QCommandLineOption> &options, const QString &argument)
{
    if (!argument.startsWith(QLatin1Char('-')) || argument.contains(QLatin1Char('=')))
        return false;
    const QString name = argument.mid(argument.startsWith(QStringLiteral("--")) ? 2 : 1);
    for (const QCommandLineOption &option : options) {
        if (!option.valueName().isEmpty() && option.names().contains(name))
            return true;
    }
    return false;
}

} // namespace

ArgumentSplit splitArguments(const QList<QCommandLineOption> &options, const QStringList &arguments)
{
    ArgumentSplit split;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QStringLiteral("--")) {
            split.ignored << arguments.mid(i + 1);
            split.words << arguments.mid(i + 1);
            break;
        }
        QStringList unit{argument};
        if (takesNextArgument(options, argument)) {
            if (i + 1 < arguments.size())
                unit << arguments.at(++i);
            split.used << unit;
            continue;
        }
        // Each argument on its own, through a parser like the program's, so that what
        // counts as used is what that parser uses. parse() fails on an unknown option and
        // on a value given to an option that takes none.
        QCommandLineParser parser;
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.addOptions(options);
        const bool parsed = parser.parse(QStringList{QString()} + unit);
        const bool word = !parser.positionalArguments().isEmpty();
        (parsed && !word ? split.used : split.ignored) << unit;
        if (word)
            split.words << unit;
    }
    return split;
}
