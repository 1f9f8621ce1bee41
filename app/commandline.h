// SPDX-License-Identifier: MIT
#ifndef MORVEK_COMMANDLINE_H
#define MORVEK_COMMANDLINE_H

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QStringList>

#include <memory>
#include <optional>

class Trace;

// The command line of a run: the options, help, version and --list. Arguments that are not
// options are ignored (--verbose names them), so no command line is an error.
class CommandLine
{
public:
    explicit CommandLine(const QStringList &arguments);
    ~CommandLine();
    CommandLine(const CommandLine &) = delete;
    CommandLine &operator=(const CommandLine &) = delete;

    // Does what the command line asks for short of a query (help, version, --list) and
    // gives the exit status; nothing when the run is a query. Starts the trace first when
    // --verbose asks for it, with the ignored arguments.
    std::optional<int> answerWithoutQuery();

    // The run's trace, from answerWithoutQuery() on; null without --verbose.
    Trace *trace() const { return runTrace.get(); }
    // --fail: a query that prints no reading exits with the status of why.
    bool failWithoutReading() const;

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
    std::unique_ptr<Trace> runTrace;

    bool helpAsked() const;
    int writeHelp();
    int writeVersion();
    int listDevices();
};

#endif
