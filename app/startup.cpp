// SPDX-License-Identifier: MIT
#include "startup.h"

#include "app/commandline.h"
#include "app/devicelist.h"
#include "app/exitstatus.h"
#include "app/morvek.h"
#include "app/runreport.h"
#include "app/trace.h"
#include "platform/endsignals.h"
#include "platform/processservices.h"

#include <QCoreApplication>

#include <cerrno>

namespace {

Sighting sight(const Discovery &discover, const CommandLine &commandLine, Trace &trace)
{
    const Sighting sighting =
        waitForDevices(discover, commandLine.askedNumbers(), commandLine.waitMs(), trace);
    QList<DeviceEntry> entries;
    for (const DiscoveredDevice &device : sighting.found)
        entries << device.entry;
    trace.devicesFound(entries);
    for (const QString &number : sighting.choice.missing)
        trace.numberMissing(number);
    if (!sighting.choice.sharing.isEmpty()) {
        QStringList ports;
        for (const DiscoveredDevice &device : sighting.choice.sharing)
            ports << device.entry.portName;
        trace.numberShared(sighting.choice.sharedNumber, ports);
    }
    return sighting;
}

// The output of a run that queries nothing; its status, or 1 when it could not be written.
int writeWithoutQuery(const QByteArray &bytes, int status, Trace &trace)
{
    if (!bytes.isEmpty() && !writeStandardOutput(bytes)) {
        trace.outputFailed(qt_error_string(errno));
        return outputFailedStatus;
    }
    return status;
}

// A run that cannot query: every device asked, as far as there is one, and what is wrong.
int endWithoutQuery(const DeviceChoice &choice, const QStringList &asked, bool json, Trace &trace)
{
    RunReport report;
    report.start();
    const bool shared = !choice.sharing.isEmpty();
    if (shared) {
        for (const DiscoveredDevice &device : choice.sharing) {
            DeviceRecord record = DeviceRecord::of(device);
            record.outcome = DeviceOutcome::SameNumber;
            record.error =
                QStringLiteral("another device has the number %1 too").arg(choice.sharedNumber);
            report.devices << record;
        }
        trace.sameNumber();
    } else {
        for (const QString &number : asked) {
            const auto has = [&number](const DiscoveredDevice &device) {
                return hasNumber(device.entry.deviceId, number);
            };
            const auto device = std::find_if(choice.chosen.cbegin(), choice.chosen.cend(), has);
            report.devices << (device == choice.chosen.cend() ? DeviceRecord::missing(number)
                                                              : DeviceRecord::of(*device));
        }
        trace.noDevice();
    }
    const int status = shared ? sameNumberStatus : noDeviceStatus;
    return writeWithoutQuery(json ? report.json(std::nullopt, status) : QByteArray(), status,
                             trace);
}

} // namespace

void startTrace(const CommandLine &commandLine, Trace &trace)
{
    if (!commandLine.traced())
        return;
    trace.start();
    trace.ignoredArguments(commandLine.ignoredArguments());
}

int listDevices(const Discovery &discover, const CommandLine &commandLine, Trace &trace)
{
    const Sighting sighting = sight(discover, commandLine, trace);
    const QList<int> slotNumbers = querySlots(sighting.found, sighting.choice);
    const QByteArray text = commandLine.jsonAsked() ? deviceListJson(sighting.found, slotNumbers)
                                                    : deviceListText(sighting.found, slotNumbers);
    const int status = sighting.found.isEmpty() ? noDeviceStatus : 0;
    if (writeWithoutQuery(text, status, trace) == outputFailedStatus)
        return outputFailedStatus;
    sighting.found.isEmpty() ? trace.noDevice() : trace.listed(sighting.found.size());
    return status;
}

int queryDevices(const Discovery &discover, const CommandLine &commandLine, Trace &trace)
{
    const Sighting sighting = sight(discover, commandLine, trace);
    const DeviceChoice &choice = sighting.choice;
    if (!choice.complete())
        return endWithoutQuery(choice, commandLine.askedNumbers(), commandLine.jsonAsked(), trace);

    // Ports are opened from here on: a signal that ends the run closes them first, and once
    // they are closed, takes its own course again.
    EndSignals endSignals;
    RunReport report;
    Morvek controller(trace, report);
    QObject::connect(&endSignals, SIGNAL(caught(QString)), &controller,
                     SLOT(endSignalled(QString)));
    QObject::connect(&controller, SIGNAL(portsReleased()), &endSignals, SLOT(release()));
    controller.setFailWithoutReading(commandLine.failWithoutReading());
    controller.setJsonOutput(commandLine.jsonAsked());
    const QList<DiscoveredDevice> &chosen = choice.chosen;
    if (choice.inOrderAsked) {
        controller.setDevicesInOrder(chosen.at(0).entry, chosen.value(1).entry);
    } else {
        controller.setFirstDevice(chosen.at(0).entry);
        if (chosen.size() >= 2)
            controller.setSecondDevice(chosen.at(1).entry);
    }
    // The report's records in the slotNumbers' order, which the controller has chosen.
    const bool swapped = !(controller.firstDevice() == chosen.at(0).entry);
    report.devices << DeviceRecord::of(chosen.at(swapped ? 1 : 0));
    if (chosen.size() >= 2)
        report.devices << DeviceRecord::of(chosen.at(swapped ? 0 : 1));
    report.start();
    controller.startQuery();

    // The run normally ends inside the controller, which ends the process.
    return QCoreApplication::exec();
}
