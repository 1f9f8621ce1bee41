// SPDX-License-Identifier: MIT
#ifndef MORVEK_COMMANDLINE_H
#define MORVEK_COMMANDLINE_H

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QStringList>

#include <optional>

// The command line of a run: the options, help and version. Arguments that are not options
// are ignored (--verbose names them), so no command line is an error.
class CommandLine
{
public:
    explicit CommandLine(const QStringList &arguments);
    ~CommandLine();
    CommandLine(const CommandLine &) = delete;
    CommandLine &operator=(const CommandLine &) = delete;

    // Writes the help or the version when the command line asks for one, and gives the
    // exit status; nothing when the run goes on to --list or a query.
    std::optional<int> answerWithoutRun();

    // --verbose: the run is traced.
    bool traced() const;
    // The arguments (without the program's name) that no option uses, for the trace.
    QStringList ignoredArguments() const;
    // --list: the devices are listed instead of queried.
    bool listAsked() const;
    // --fail: a query that prints no reading exits with the status of why.
    bool failWithoutReading() const;
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
    QList<QCommandLineOption> options;

    bool helpAsked() const;
    int writeHelp();
    int writeVersion();
};

#endif
