// SPDX-License-Identifier: MIT
#ifndef MORVEK_COMMANDLINE_H
#define MORVEK_COMMANDLINE_H

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QStringList>

#include <optional>

// The command line of a run: the options, help and version. Arguments that are not options
// are ignored (--verbose names them); only a bad value of an option that takes one, or such
// an option without its value, is an error (usage, status 2).
class CommandLine
{
public:
    explicit CommandLine(const QStringList &arguments);
    ~CommandLine();
    CommandLine(const CommandLine &) = delete;
    CommandLine &operator=(const CommandLine &) = delete;

    // Writes the help or the version when the command line asks for one, or the line on
    // standard error that says what is wrong with it, and gives the exit status; nothing
    // when the run goes on to --list or a query.
    std::optional<int> answerWithoutRun();

    // --verbose: the run is traced.
    bool traced() const;
    // The arguments (without the program's name) that no option uses, for the trace.
    QStringList ignoredArguments() const;
    // --list: the devices are listed instead of queried.
    bool listAsked() const;
    // --fail: a query that prints no reading exits with the status of why.
    bool failWithoutReading() const;
    // --number: the numbers asked for, as given (digits only); empty when not asked.
    QStringList askedNumbers() const;
    // --json: the run is described as one JSON object in place of the plain output.
    bool jsonAsked() const;
    // --wait: how long to wait for the devices to appear, in milliseconds; 0 when not asked.
    int waitMs() const;
    // The arguments that are not options, in order: the tests' controller harness names its
    // devices so.
    QStringList words() const;

private:
    QStringList arguments;
    QCommandLineParser parser;
    const QCommandLineOption helpOption;
    const QCommandLineOption helpAllOption;
    const QCommandLineOption versionOption;
    const QCommandLineOption listOption;
    const QCommandLineOption verboseOption;
    const QCommandLineOption failOption;
    const QCommandLineOption numberOption;
    const QCommandLineOption jsonOption;
    const QCommandLineOption waitOption;
    QList<QCommandLineOption> options;

    QStringList ignored;
    QStringList wordArguments;

    bool helpAsked() const;
    // What is wrong with the options' values, as the line that says so; empty when nothing.
    QString usageError() const;
    int writeHelp();
    int writeVersion();
};

#endif
