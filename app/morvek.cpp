// SPDX-License-Identifier: MIT
#include "morvek.h"

#include "app/exitstatus.h"
#include "app/readingrules.h"
#include "app/trace.h"
#include "platform/processservices.h"
#include "serial/serialport.h"

#include <QTimer>

#include <cerrno>

Morvek::Morvek(Trace &runTrace, RunReport &runReport, QObject *parent)
    : QObject(nullptr), trace(runTrace), report(runReport)
{
    Q_UNUSED(parent)
    port1 = new SerialPort(this);
    connect(port1, SIGNAL(readComm()), this, SLOT(readComm1()));
    port2 = new SerialPort(this);
    connect(port2, SIGNAL(readComm()), this, SLOT(readComm2()));
    connect(port1, SIGNAL(deviceGone()), this, SLOT(deviceGone1()));
    connect(port2, SIGNAL(deviceGone()), this, SLOT(deviceGone2()));
    portName1 = QString("");
    deviceId1 = QString("");
    portName2 = QString("");
    deviceId2 = QString("");

    // One timer, so that no leftover deadline can cut a later wait short: it is restarted
    // when a device is first asked. Asking device 2 again does not move its deadline, or a
    // talkative device 1 could keep the run alive for ever.
    replyTimer = new QTimer(this);
    replyTimer->setSingleShot(true);
    // A coarse timer may fire up to 5% early; a device gets its whole second.
    replyTimer->setTimerType(Qt::PreciseTimer);
    replyTimer->setInterval(replyTimeoutMs);
    connect(replyTimer, SIGNAL(timeout()), this, SLOT(replyOverdue()));
}

Morvek::~Morvek()
{
    releasePorts();
}

void Morvek::setFirstDevice(DeviceEntry entry)
{
    portName1 = entry.portName;
    deviceId1 = entry.deviceId;
    // Should slot 2 already be filled, keep the pair ordered the same way as
    // setSecondDevice() does; with equal numbers the first device stays first.
    if (!portName2.isEmpty() && deviceNumber(deviceId2) < deviceNumber(deviceId1)) {
        std::swap(portName1, portName2);
        std::swap(deviceId1, deviceId2);
    }
}

void Morvek::setSecondDevice(DeviceEntry entry)
{
    if (queriedFirst(entry, DeviceEntry{portName1, deviceId1})) {
        portName2 = portName1;
        deviceId2 = deviceId1;
        portName1 = entry.portName;
        deviceId1 = entry.deviceId;
    } else {
        portName2 = entry.portName;
        deviceId2 = entry.deviceId;
    }
}

void Morvek::setDevicesInOrder(DeviceEntry first, DeviceEntry second)
{
    portName1 = first.portName;
    deviceId1 = first.deviceId;
    portName2 = second.portName;
    deviceId2 = second.deviceId;
}

void Morvek::setFailWithoutReading(bool fail)
{
    failWithoutReading = fail;
}

void Morvek::setJsonOutput(bool json)
{
    jsonOutput = json;
}

DeviceRecord *Morvek::record(int slot)
{
    return slot <= report.devices.size() ? &report.devices[slot - 1] : nullptr;
}

void Morvek::noteOutcome(int slot, DeviceOutcome outcome, const QString &error)
{
    if (DeviceRecord *device = record(slot)) {
        device->outcome = outcome;
        device->error = error;
        device->elapsedMs = device->clock.elapsed();
    }
}

void Morvek::startQuery()
{
    trace.queryOrder(DeviceEntry{portName1, deviceId1}, DeviceEntry{portName2, deviceId2});
    if (!openLine(port1, portName1, 1)) {
        endWithoutReading(openFailedStatus);
        return;
    }
    sendCommand(port1, queryCommand(), true);
}

bool Morvek::openLine(SerialPort *port, const QString &name, int slot)
{
    if (DeviceRecord *device = record(slot))
        device->clock.start();
    const bool opened = port->openPort(name);
    if (opened) {
        trace.opened(name, port->lastPath());
    } else {
        trace.openFailed(name, port->lastPath(), port->errorText());
        trace.openFailureEnds();
        noteOutcome(slot, DeviceOutcome::CannotOpen, port->errorText());
    }
    return opened;
}

void Morvek::sendCommand(SerialPort *port, const QString &text, bool armTimeout)
{
    const QByteArray bytes = text.toLatin1();
    port->sendData(bytes);
    if (armTimeout) {
        trace.deadlineStarts(port->lastPortName());
        replyTimer->start();
    }
    trace.sent(port->lastPortName(), bytes, armTimeout ? replyTimeoutMs : 0);
}

void Morvek::deliver()
{
    finish(result, 0);
}

void Morvek::finish(const std::optional<QString> &output, int status)
{
    replyTimer->stop();
    // Closed before the output is written: a reader that does not read holds no port.
    releasePorts();
    emit portsReleased();
    // A run a signal ended writes nothing; nor does one with no reading, but for --json.
    if (signalled || (!jsonOutput && !output))
        endProcess(status);
    const QByteArray bytes = jsonOutput ? report.json(output, status) : output->toLatin1();
    const bool written = writeStandardOutput(bytes);
    if (written)
        trace.answered();
    else
        trace.outputFailed(qt_error_string(errno));
    endProcess(written ? status : outputFailedStatus);
}

QString Morvek::takeReply(SerialPort *port, const QString &portName)
{
    QByteArray raw;
    raw.reserve(port->receiveBuffer.size());
    while (!port->receiveBuffer.isEmpty())
        raw.append(port->receiveBuffer.takeFirst());
    const QString reply = QString::fromLatin1(filterReply(raw));
    trace.received(portName, raw);
    trace.reading(portName, reply);
    return reply;
}

void Morvek::readComm1()
{
    const QString reply = takeReply(port1, portName1);
    const bool alone = portName2.isEmpty();
    noteOutcome(1, DeviceOutcome::Reading);
    if (DeviceRecord *device = record(1)) {
        device->reply = reply;
        device->reading = alone ? reply : firstField(reply);
    }

    if (alone) {
        result = reply;
        deliver();
        return;
    }

    result = firstField(reply) + QChar(',');
    // Device 2 is asked again over the line that is already open. Reopening it would put
    // the tty back to its old settings for a moment, in which a real tty echoes the reply
    // back to the device and loses it, and would drop a command not yet written.
    if (!port2->isPortOpen() && !openLine(port2, portName2, 2)) {
        endWithoutReading(openFailedStatus);
        return;
    }
    sendCommand(port2, queryCommand(), !device2Asked);
    device2Asked = true;
}

void Morvek::readComm2()
{
    const QString reply = takeReply(port2, portName2);
    noteOutcome(2, DeviceOutcome::Reading);
    if (DeviceRecord *device = record(2)) {
        device->reply = reply;
        device->reading = firstField(reply);
    }
    result.append(firstField(reply));
    deliver();
}

void Morvek::deviceGone1()
{
    // Once device 1 has answered, the run waits for device 2 alone: a device 1 that goes
    // away then only closes its own line.
    trace.deviceGone(portName1, !device2Asked);
    if (device2Asked) {
        port1->closePort();
    } else {
        noteOutcome(1, DeviceOutcome::Gone, port1->errorText());
        endWithoutReading(deviceGoneStatus);
    }
}

void Morvek::deviceGone2()
{
    trace.deviceGone(portName2, true);
    noteOutcome(2, DeviceOutcome::Gone, port2->errorText());
    endWithoutReading(deviceGoneStatus);
}

void Morvek::replyOverdue()
{
    trace.timedOut();
    noteOutcome(device2Asked ? 2 : 1, DeviceOutcome::NoReply,
                QStringLiteral("no reply within %1 ms").arg(replyTimeoutMs));
    endWithoutReading(noReplyStatus);
}

void Morvek::endSignalled(const QString &signalName)
{
    trace.endSignalled(signalName);
    signalled = true;
    timeOut();
}

void Morvek::endWithoutReading(int failStatus)
{
    if (failWithoutReading)
        endStatus = failStatus;
    timeOut();
}

void Morvek::releasePorts()
{
    if (port1) {
        port1->closePort();
        delete port1;
        port1 = nullptr;
    }
    if (port2) {
        port2->closePort();
        delete port2;
        port2 = nullptr;
    }
}

void Morvek::timeOut()
{
    finish(std::nullopt, endStatus);
}
