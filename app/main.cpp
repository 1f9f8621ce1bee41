#include "app/devicelist.h"
#include "app/morvek.h"
#include "app/trace.h"
#include "discovery/devicediscovery.h"
#include "platform/processservices.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <memory>

namespace {

const int noDeviceStatus = -1;
const int outputFailedStatus = Morvek::outputFailedStatus;

} // namespace

int main(int argc, char *argv[])
{
    openMissingStandardStreams();
    QCoreApplication app(argc, argv);
    // Qt would take the name from argv[0], which the caller chooses (it may even be empty).
    QCoreApplication::setApplicationName(QStringLiteral("morvek"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MORVEK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "Asks up to two ZR series measuring devices (USB 04D8:000A) for a reading and prints\n"
            "the readings as one line: the first two devices found, the smaller number first.\n"
            "\n"
            "Exit status: 0 after a query (nothing is printed when a device cannot be opened,\n"
            "goes away or does not answer within %1 ms), 1 when the reading could not be\n"
            "written to standard output, 255 when no device is found.\n"
            "Arguments other than the options below are ignored.")
            .arg(Morvek::replyTimeoutMs));
    // Not addHelpOption(): it also lists --help-all, which this parser never acts on, and
    // its wording differs between Qt versions.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Print this help and exit."));
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Print the version and exit."));
    const QCommandLineOption listOption(
        QStringLiteral("list"),
        QStringLiteral("List the devices found, one line each, tab-separated: query slot (1, "
                       "2, or -), port, path opened, number, and where the number came from "
                       "(location or product). Opens no port; status 255 when none is found."));
    const QCommandLineOption verboseOption(
        {QStringLiteral("v"), QStringLiteral("verbose")},
        QStringLiteral("Query as usual, and trace each step on standard error."));
    parser.addOptions({helpOption, versionOption, listOption, verboseOption});
    // Unknown arguments are no error: callers that pass some keep getting the plain run.
    parser.parse(app.arguments());
    // Written here rather than by the parser, which on Windows shows a message box
    // instead when the process has no console.
    if (parser.isSet(helpOption)) {
        // The parser's usage line names the program by argv[0] as it was given.
        QString help = parser.helpText();
        const QString usage = QStringLiteral("Usage: ");
        const QString given = usage + app.arguments().value(0);
        if (help.startsWith(given))
            help.replace(0, given.size(), usage + QCoreApplication::applicationName());
        return writeStandardOutput(help.toUtf8()) ? 0 : outputFailedStatus;
    }
    if (parser.isSet(versionOption)) {
        const QString version = QStringLiteral("%1 %2\n").arg(
            QCoreApplication::applicationName(), QCoreApplication::applicationVersion());
        return writeStandardOutput(version.toUtf8()) ? 0 : outputFailedStatus;
    }

    std::unique_ptr<Trace> trace;
    if (parser.isSet(verboseOption))
        trace.reset(new Trace);

    if (parser.isSet(listOption)) {
        const QList<DiscoveredDevice> found = discoverDevices();
        if (!writeStandardOutput(deviceListText(found)))
            return outputFailedStatus;
        return found.isEmpty() ? noDeviceStatus : 0;
    }

    const QList<DeviceEntry> devices = findDevices();
    if (trace)
        trace->devicesFound(devices);
    if (devices.isEmpty())
        return noDeviceStatus;

    Morvek controller;
    controller.setTrace(trace.get());
    controller.setFirstDevice(devices.at(0));
    if (devices.size() >= 2)
        controller.setSecondDevice(devices.at(1));
    controller.startQuery();

    // The run normally ends inside the controller, which ends the process.
    return app.exec();
}
