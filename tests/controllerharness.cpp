// SPDX-License-Identifier: MIT
// Runs the query controller on the devices named on the command line, as start-up would
// after discovery: controllerharness [--fail] [-v] PORT1 ID1 [PORT2 ID2 [...]].
#include "app/commandline.h"
#include "app/startup.h"
#include "app/trace.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    Trace trace;
    QCoreApplication app(argc, argv);
    const CommandLine commandLine(app.arguments());
    const QStringList words = commandLine.words();
    if (words.size() < 2)
        return 2;
    QList<DeviceEntry> devices;
    for (int i = 0; i + 1 < words.size(); i += 2)
        devices << DeviceEntry{words.at(i), words.at(i + 1)};
    startTrace(commandLine, trace);
    return queryDevices(devices, commandLine, trace);
}
