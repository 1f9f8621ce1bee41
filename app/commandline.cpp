// SPDX-License-Identifier: MIT
#include "commandline.h"

#include "app/exitstatus.h"
#include "app/ignoredarguments.h"
#include "app/readingrules.h"
#include "platform/helpconventions.h"
#include "platform/processservices.h"

#include <QCoreApplication>

namespace {

QCommandLineOption hidden(const QString &name)
{
    QCommandLineOption option(name);
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    return option;
}

} // namespace

// Not addHelpOption(): it also lists --help-all for Qt's own options, which this program
// does not have, and its wording differs between Qt versions. --help-all stays accepted
// and shows the same help.
CommandLine::CommandLine(const QStringList &arguments)
    : arguments(arguments), helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                       QStringLiteral("Print this help and exit.")),
      helpAllOption(hidden(QStringLiteral("help-all"))),
      versionOption(QStringLiteral("version"), QStringLiteral("Print the version and exit.")),
      listOption(QStringLiteral("list"),
                 QStringLiteral("List the devices found, one line each, tab-separated: query "
                                "slot (1, 2, or -), port, path opened, number, and where the "
                                "number came from (location or product). Opens no port; with "
                                "none found, the status is that of no device.")),
      verboseOption({QStringLiteral("v"), QStringLiteral("verbose")},
                    QStringLiteral("Query as usual, and trace each step on standard error.")),
      failOption(QStringLiteral("fail"),
                 QStringLiteral("Query as usual, but when no reading is printed, exit with a "
                                "status that says why: %1 when a device cannot be opened "
                                "(missing, held by another program, or no permission), %2 "
                                "when a device does not answer within %3 ms, %4 when a device "
                                "goes away. A reading still gives 0.")
                     .arg(openFailedStatus)
                     .arg(noReplyStatus)
                     .arg(replyTimeoutMs)
                     .arg(deviceGoneStatus)),
      options{helpOption, helpAllOption, versionOption, listOption, verboseOption, failOption}
{
    // The no-device status is given as this platform shows it, and never at the start of a
    // line, where help2man would take it for an option.
    parser.setApplicationDescription(
        QStringLiteral(
            "Asks up to two ZR series measuring devices (USB 04D8:000A) for a reading and prints\n"
            "the readings as one line: the first two devices found, the smaller number first.\n"
            "\n"
            "Exit status: 0 after a query (nothing is printed when a device cannot be opened,\n"
            "goes away or does not answer within %1 ms), 1 when the reading could not be\n"
            "written to standard output, %2 when no device is found. With --fail, a query\n"
            "that prints nothing ends with %3, %4 or %5 instead of 0.\n"
            "Arguments other than the options below are ignored; --verbose names them.")
            .arg(replyTimeoutMs)
            .arg(minusOneStatusText())
            .arg(openFailedStatus)
            .arg(noReplyStatus)
            .arg(deviceGoneStatus));
    parser.addOptions(options);
    // Unknown arguments are no error: callers that pass some keep getting the plain run.
    parser.parse(arguments);
}

CommandLine::~CommandLine() = default;

std::optional<int> CommandLine::answerWithoutRun()
{
    if (helpAsked())
        return writeHelp();
    if (parser.isSet(versionOption))
        return writeVersion();
    return std::nullopt;
}

bool CommandLine::traced() const
{
    return parser.isSet(verboseOption);
}

QStringList CommandLine::ignoredArguments() const
{
    return ::ignoredArguments(options, arguments.mid(1));
}

bool CommandLine::listAsked() const
{
    return parser.isSet(listOption);
}

bool CommandLine::failWithoutReading() const
{
    return parser.isSet(failOption);
}

QStringList CommandLine::words() const
{
    return parser.positionalArguments();
}

bool CommandLine::helpAsked() const
{
    bool asked = parser.isSet(helpOption) || parser.isSet(helpAllOption);
    for (const QString &argument : arguments.mid(1))
        asked = asked || platformHelpArguments().contains(argument);
    return asked;
}

// Written here rather than by the parser, which on Windows shows a message box instead when
// the process has no console.
int CommandLine::writeHelp()
{
    // The parser's usage line names the program by argv[0] as it was given.
    QString help = parser.helpText();
    const QString usage = QStringLiteral("Usage: ");
    const QString given = usage + arguments.value(0);
    if (help.startsWith(given))
        help.replace(0, given.size(), usage + QCoreApplication::applicationName());
    return writeStandardOutput(help.toUtf8()) ? 0 : outputFailedStatus;
}

int CommandLine::writeVersion()
{
    const QString version =
        // Each line a sentence, as help2man joins the first two into one paragraph.
        QStringLiteral("%1 %2\n" MORVEK_COPYRIGHT ".\n"
                       "License MIT: <https://opensource.org/licenses/MIT>.\n"
                       "This is free software: you are free to change and redistribute it.\n"
                       "There is NO WARRANTY, to the extent permitted by law.\n")
            .arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion());
    return writeStandardOutput(version.toUtf8()) ? 0 : outputFailedStatus;
}
