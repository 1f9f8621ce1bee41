// SPDX-License-Identifier: MIT
#include "app/commandline.h"
#include "app/startup.h"
#include "app/trace.h"
#include "discovery/devicediscovery.h"
#include "platform/processservices.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    openMissingStandardStreams();
    // Before Qt, whose warnings it takes from the start; off until --verbose switches it on.
    Trace trace;
    QCoreApplication app(argc, argv);
    // Qt would take the name from argv[0], which the caller chooses (it may even be empty).
    QCoreApplication::setApplicationName(QStringLiteral("morvek"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MORVEK_VERSION));

    CommandLine commandLine(app.arguments());
    if (const std::optional<int> status = commandLine.answerWithoutRun())
        return *status;
    startTrace(commandLine, trace);
    if (commandLine.listAsked())
        return listDevices(discoverDevices, commandLine, trace);
    return queryDevices(discoverDevices, commandLine, trace);
}
