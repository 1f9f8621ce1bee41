// SPDX-License-Identifier: MIT
#include "app/commandline.h"
#include "app/morvek.h"
#include "app/trace.h"
#include "discovery/devicediscovery.h"
#include "platform/endsignals.h"
#include "platform/processservices.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    openMissingStandardStreams();
    Trace::takeQtMessages(nullptr);
    QCoreApplication app(argc, argv);
    // Qt would take the name from argv[0], which the caller chooses (it may even be empty).
    QCoreApplication::setApplicationName(QStringLiteral("morvek"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MORVEK_VERSION));

    CommandLine commandLine(app.arguments());
    if (const std::optional<int> status = commandLine.answerWithoutQuery())
        return *status;
    Trace *trace = commandLine.trace();

    const QList<DeviceEntry> devices = findDevices();
    if (trace)
        trace->devicesFound(devices);
    if (devices.isEmpty()) {
        if (trace)
            trace->noDevice();
        return Morvek::noDeviceStatus;
    }

    // Ports are opened from here on: a signal that ends the run closes them first.
    EndSignals endSignals;
    Morvek controller;
    QObject::connect(&endSignals, SIGNAL(caught(QString)), &controller,
                     SLOT(endSignalled(QString)));
    controller.setTrace(trace);
    controller.setFailWithoutReading(commandLine.failWithoutReading());
    controller.setFirstDevice(devices.at(0));
    if (devices.size() >= 2)
        controller.setSecondDevice(devices.at(1));
    controller.startQuery();

    // The run normally ends inside the controller, which ends the process.
    return app.exec();
}
