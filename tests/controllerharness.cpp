// SPDX-License-Identifier: MIT
// Runs the query controller on the devices named on the command line, as start-up would
// after discovery: controllerharness [--fail] PORT1 ID1 [PORT2 ID2 [...]].
#include "app/morvek.h"
#include "platform/endsignals.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool fail = args.value(0) == QStringLiteral("--fail");
    if (fail)
        args.removeFirst();
    if (args.size() < 2)
        return 2;
    EndSignals endSignals;
    Morvek controller;
    QObject::connect(&endSignals, SIGNAL(caught(QString)), &controller,
                     SLOT(endSignalled(QString)));
    controller.setFailWithoutReading(fail);
    controller.setFirstDevice(DeviceEntry{args.at(0), args.at(1)});
    if (args.size() >= 4)
        controller.setSecondDevice(DeviceEntry{args.at(2), args.at(3)});
    controller.startQuery();
    return app.exec();
}
