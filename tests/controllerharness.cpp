// SPDX-License-Identifier: MIT
// Runs the query controller on the devices named on the command line, as start-up would
// after discovery: controllerharness [OPTION...] PORT1 ID1 [PORT2 ID2 [...]].
#include "app/commandline.h"
#include "app/startup.h"
#include "app/trace.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    Trace trace;
    QCoreApplication app(argc, argv);
    CommandLine commandLine(app.arguments());
    const QStringList words = commandLine.words();
    if (words.size() < 2)
        return 2;
    if (const std::optional<int> status = commandLine.answerWithoutRun())
        return *status;
    QList<DiscoveredDevice> devices;
    for (int i = 0; i + 1 < words.size(); i += 2)
        devices << DiscoveredDevice{DeviceEntry{words.at(i), words.at(i + 1)},
                                    IdentitySource::Product};
    startTrace(commandLine, trace);
    return queryDevices([devices] { return devices; }, commandLine, trace);
}
