#include "app/devicelist.h"
#include "app/ignoredarguments.h"
#include "app/morvek.h"
#include "app/trace.h"
#include "discovery/devicediscovery.h"
#include "platform/endsignals.h"
#include "platform/processservices.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cerrno>
#include <memory>

namespace {

const int noDeviceStatus = -1;
const int outputFailedStatus = Morvek::outputFailedStatus;

} // namespace

int main(int argc, char *argv[])
{
    openMissingStandardStreams();
    Trace::takeQtMessages(nullptr);
    QCoreApplication app(argc, argv);
    // Qt would take the name from argv[0], which the caller chooses (it may even be empty).
    QCoreApplication::setApplicationName(QStringLiteral("morvek"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MORVEK_VERSION));

    QCommandLineParser parser;
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
            .arg(Morvek::replyTimeoutMs)
            .arg(minusOneStatusText())
            .arg(Morvek::openFailedStatus)
            .arg(Morvek::noReplyStatus)
            .arg(Morvek::deviceGoneStatus));
    // Not addHelpOption(): it also lists --help-all for Qt's own options, which this program
    // does not have, and its wording differs between Qt versions. --help-all stays accepted
    // and shows the same help.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Print this help and exit."));
    QCommandLineOption helpAllOption(QStringLiteral("help-all"));
    helpAllOption.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Print the version and exit."));
    const QCommandLineOption listOption(
        QStringLiteral("list"),
        QStringLiteral("List the devices found, one line each, tab-separated: query slot (1, "
                       "2, or -), port, path opened, number, and where the number came from "
                       "(location or product). Opens no port; with none found, the status is "
                       "that of no device."));
    const QCommandLineOption verboseOption(
        {QStringLiteral("v"), QStringLiteral("verbose")},
        QStringLiteral("Query as usual, and trace each step on standard error."));
    const QCommandLineOption failOption(
        QStringLiteral("fail"),
        QStringLiteral("Query as usual, but when no reading is printed, exit with a status "
                       "that says why: %1 when a device cannot be opened (missing, held by "
                       "another program, or no permission), %2 when a device does not answer "
                       "within %3 ms, %4 when a device goes away. A reading still gives 0.")
            .arg(Morvek::openFailedStatus)
            .arg(Morvek::noReplyStatus)
            .arg(Morvek::replyTimeoutMs)
            .arg(Morvek::deviceGoneStatus));
    const QList<QCommandLineOption> options{helpOption, helpAllOption, versionOption,
                                            listOption, verboseOption, failOption};
    parser.addOptions(options);
    // Unknown arguments are no error: callers that pass some keep getting the plain run.
    parser.parse(app.arguments());
    // Written here rather than by the parser, which on Windows shows a message box
    // instead when the process has no console.
    bool helpAsked = parser.isSet(helpOption) || parser.isSet(helpAllOption);
    for (const QString &argument : app.arguments().mid(1))
        helpAsked = helpAsked || platformHelpArguments().contains(argument);
    if (helpAsked) {
        // The parser's usage line names the program by argv[0] as it was given.
        QString help = parser.helpText();
        const QString usage = QStringLiteral("Usage: ");
        const QString given = usage + app.arguments().value(0);
        if (help.startsWith(given))
            help.replace(0, given.size(), usage + QCoreApplication::applicationName());
        return writeStandardOutput(help.toUtf8()) ? 0 : outputFailedStatus;
    }
    if (parser.isSet(versionOption)) {
        const QString version =
            // Each line a sentence, as help2man joins the first two into one paragraph.
            QStringLiteral("%1 %2\n" MORVEK_COPYRIGHT ".\n"
                           "License MIT: <https://opensource.org/licenses/MIT>.\n"
                           "This is free software: you are free to change and redistribute it.\n"
                           "There is NO WARRANTY, to the extent permitted by law.\n")
                .arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion());
        return writeStandardOutput(version.toUtf8()) ? 0 : outputFailedStatus;
    }

    std::unique_ptr<Trace> trace;
    if (parser.isSet(verboseOption)) {
        trace.reset(new Trace);
        Trace::takeQtMessages(trace.get());
        trace->ignoredArguments(ignoredArguments(options, app.arguments().mid(1)));
    }

    if (parser.isSet(listOption)) {
        const QList<DiscoveredDevice> found = discoverDevices();
        if (!writeStandardOutput(deviceListText(found))) {
            if (trace)
                trace->outputFailed(qt_error_string(errno));
            return outputFailedStatus;
        }
        if (trace)
            found.isEmpty() ? trace->noDevice() : trace->listed(found.size());
        return found.isEmpty() ? noDeviceStatus : 0;
    }

    const QList<DeviceEntry> devices = findDevices();
    if (trace)
        trace->devicesFound(devices);
    if (devices.isEmpty()) {
        if (trace)
            trace->noDevice();
        return noDeviceStatus;
    }

    // Ports are opened from here on: a signal that ends the run closes them first.
    EndSignals endSignals;
    Morvek controller;
    QObject::connect(&endSignals, SIGNAL(caught(QString)), &controller,
                     SLOT(endSignalled(QString)));
    controller.setTrace(trace.get());
    controller.setFailWithoutReading(parser.isSet(failOption));
    controller.setFirstDevice(devices.at(0));
    if (devices.size() >= 2)
        controller.setSecondDevice(devices.at(1));
    controller.startQuery();

    // The run normally ends inside the controller, which ends the process.
    return app.exec();
}
