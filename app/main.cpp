#include "app/morvek.h"
#include "discovery/devicediscovery.h"
#include "platform/processservices.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    openMissingStandardStreams();
    QCoreApplication app(argc, argv);

    const QList<DeviceEntry> devices = findDevices();
    if (devices.isEmpty())
        return -1;

    Morvek controller;
    controller.setFirstDevice(devices.at(0));
    if (devices.size() >= 2)
        controller.setSecondDevice(devices.at(1));
    controller.startQuery();

    // The run normally ends inside the controller, which ends the process.
    return app.exec();
}
