// SPDX-License-Identifier: MIT
#include "commandline.h"

#include "app/devicechoice.h"
#include "app/exitstatus.h"
#include "app/ignoredarguments.h"
#include "app/readingrules.h"
#include "platform/helpconventions.h"
#include "platform/processservices.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace {

// Longer than anyone waits at a prompt, short enough to stay well inside an int of ms.
constexpr int longestWaitSeconds = 86400;

bool matchesWhole(const QString &pattern, const QString &text)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(text).hasMatch();
}

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
                                "number came from (location or product); with --number, "
                                "the slots of those devices. Opens no port; with none "
                                "found, the status is that of no device.")),
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
      numberOption(QStringLiteral("number"),
                   QStringLiteral("Query the device whose number is N (the whole reading, as "
                                  "with one device), or the devices numbered N and M, in that "
                                  "order, chosen among all devices found. 3 and 03 are the "
                                  "same number. A number no device has: the status of no "
                                  "device; a number two devices have: %1, and neither is "
                                  "asked.")
                       .arg(sameNumberStatus),
                   QStringLiteral("N[,M]")),
      jsonOption(QStringLiteral("json"),
                 QStringLiteral("Print one JSON object and a newline in place of the reading: "
                                "the output, the status and each device's outcome (with "
                                "--list: an array of the devices).")),
      waitOption(QStringLiteral("wait"),
                 QStringLiteral("When the devices asked for (or, without --number, any) are "
                                "not there yet, wait up to SECONDS (0 to %1, fractions too) "
                                "for their ports to appear, then query.")
                     .arg(longestWaitSeconds),
                 QStringLiteral("SECONDS")),
      options{helpOption, helpAllOption, versionOption, listOption, verboseOption,
              failOption, numberOption,  jsonOption,    waitOption}
{
    // The no-device status is given as this platform shows it, and never at the start of a
    // line, where help2man would take it for an option.
    parser.setApplicationDescription(
        QStringLiteral(
            "Asks up to two ZR series measuring devices (USB 04D8:000A) for a reading and prints\n"
            "the readings as one line: the first two devices found, the smaller number first.\n"
            "\n"
            "Exit status: 0 after a query (nothing is printed when a device cannot be opened,\n"
            "goes away or does not answer within %1 ms), 1 when the output could not be\n"
            "written, 2 when an option's value is bad or missing, %2 when no device is found\n"
            "(or none has a number asked), %6 when a number asked is that of two devices.\n"
            "With --fail, a query that prints nothing ends with %3, %4 or %5 instead of 0.\n"
            "Options take one dash or two (-v, -verbose, --verbose) and are not bundled\n"
            "(-vh is no option). Other arguments, and a value given to an option that takes\n"
            "none (--verbose=1), are ignored and have no effect; --verbose names them.")
            .arg(replyTimeoutMs)
            .arg(minusOneStatusText())
            .arg(openFailedStatus)
            .arg(noReplyStatus)
            .arg(deviceGoneStatus)
            .arg(sameNumberStatus));
    // One rule for every option: -version is --version, not -v and more.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions(options);
    // Unknown arguments are no error: callers that pass some keep getting the plain run.
    // What they are is left out, so that what the trace calls ignored has no effect.
    const ArgumentSplit split = splitArguments(options, arguments.mid(1));
    ignored = split.ignored;
    wordArguments = split.words;
    parser.parse(QStringList{arguments.value(0)} + split.used);
}

CommandLine::~CommandLine() = default;

std::optional<int> CommandLine::answerWithoutRun()
{
    if (helpAsked())
        return writeHelp();
    if (parser.isSet(versionOption))
        return writeVersion();
    const QString error = usageError();
    if (error.isEmpty())
        return std::nullopt;
    writeStandardError(
        QStringLiteral("%1: %2\n").arg(QCoreApplication::applicationName(), error).toUtf8());
    return usageStatus;
}

QString CommandLine::usageError() const
{
    for (const QCommandLineOption *option : {&numberOption, &waitOption}) {
        if (parser.isSet(*option) && parser.values(*option).isEmpty())
            return QStringLiteral("--%1: no value given").arg(option->names().constFirst());
    }
    // The last one given counts, as for any option given twice.
    const QString quoted = QStringLiteral("\"%1\"");
    if (parser.isSet(numberOption)) {
        const QString value = parser.value(numberOption);
        if (!matchesWhole(QStringLiteral("[0-9]+(,[0-9]+)?"), value))
            return QStringLiteral("--number: %1 is not a device number, or two such as 3,1")
                .arg(quoted.arg(value));
        const QStringList numbers = askedNumbers();
        if (numbers.size() == 2 && numbers.at(0) == numbers.at(1))
            return QStringLiteral("--number: %1 names one device twice").arg(quoted.arg(value));
    }
    if (parser.isSet(waitOption)) {
        const QString value = parser.value(waitOption);
        if (!matchesWhole(QStringLiteral("[0-9]+(\\.[0-9]+)?"), value) ||
            value.toDouble() > longestWaitSeconds)
            return QStringLiteral("--wait: %1 is not a number of seconds (0 to %2)")
                .arg(quoted.arg(value))
                .arg(longestWaitSeconds);
    }
    return QString();
}

bool CommandLine::traced() const
{
    return parser.isSet(verboseOption);
}

QStringList CommandLine::ignoredArguments() const
{
    return ignored;
}

bool CommandLine::listAsked() const
{
    return parser.isSet(listOption);
}

bool CommandLine::failWithoutReading() const
{
    return parser.isSet(failOption);
}

QStringList CommandLine::askedNumbers() const
{
    QStringList numbers;
    if (!parser.isSet(numberOption))
        return numbers;
    for (const QString &number : parser.value(numberOption).split(QLatin1Char(',')))
        numbers << significantDigits(number);
    return numbers;
}

bool CommandLine::jsonAsked() const
{
    return parser.isSet(jsonOption);
}

int CommandLine::waitMs() const
{
    // Checked by usageError() before anyone asks.
    return parser.isSet(waitOption) ? qRound(parser.value(waitOption).toDouble() * 1000) : 0;
}

QStringList CommandLine::words() const
{
    return wordArguments;
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
