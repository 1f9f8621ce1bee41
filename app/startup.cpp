// SPDX-License-Identifier: MIT
#include "startup.h"

#include "app/commandline.h"
#include "app/devicelist.h"
#include "app/exitstatus.h"
#include "app/morvek.h"
#include "app/trace.h"
#include "discovery/devicediscovery.h"
#include "platform/endsignals.h"
#include "platform/processservices.h"

#include <QCoreApplication>

#include <cerrno>

void startTrace(const CommandLine &commandLine, Trace &trace)
{
    if (!commandLine.traced())
        return;
    trace.start();
    trace.ignoredArguments(commandLine.ignoredArguments());
}

int listDevices(Trace &trace)
{
    const QList<DiscoveredDevice> found = discoverDevices();
    if (!writeStandardOutput(deviceListText(found))) {
        trace.outputFailed(qt_error_string(errno));
        return outputFailedStatus;
    }
    found.isEmpty() ? trace.noDevice() : trace.listed(found.size());
    return found.isEmpty() ? noDeviceStatus : 0;
}

int queryDevices(const QList<DeviceEntry> &devices, const CommandLine &commandLine, Trace &trace)
{
    trace.devicesFound(devices);
    if (devices.isEmpty()) {
        trace.noDevice();
        return noDeviceStatus;
    }

    // Ports are opened from here on: a signal that ends the run closes them first.
    EndSignals endSignals;
    Morvek controller(trace);
    QObject::connect(&endSignals, SIGNAL(caught(QString)), &controller,
                     SLOT(endSignalled(QString)));
    controller.setFailWithoutReading(commandLine.failWithoutReading());
    controller.setFirstDevice(devices.at(0));
    if (devices.size() >= 2)
        controller.setSecondDevice(devices.at(1));
    controller.startQuery();

    // The run normally ends inside the controller, which ends the process.
    return QCoreApplication::exec();
}
