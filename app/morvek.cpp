// SPDX-License-Identifier: MIT
#include "morvek.h"

#include "app/exitstatus.h"
#include "app/readingrules.h"
#include "app/trace.h"
#include "platform/processservices.h"
#include "serial/serialport.h"

#include <QTimer>

#include <cerrno>

Morvek::Morvek(Trace &runTrace, QObject *parent) : QObject(nullptr), trace(runTrace)
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

void Morvek::setFailWithoutReading(bool fail)
{
    failWithoutReading = fail;
}

void Morvek::startQuery()
{
    trace.queryOrder(DeviceEntry{portName1, deviceId1}, DeviceEntry{portName2, deviceId2});
    if (!openLine(port1, portName1)) {
        endWithoutReading(openFailedStatus);
        return;
    }
    sendCommand(port1, queryCommand(), true);
}

bool Morvek::openLine(SerialPort *port, const QString &name)
{
    const bool opened = port->openPort(name);
    if (opened) {
        trace.opened(name, port->lastPath());
    } else {
        trace.openFailed(name, port->lastPath(), port->errorText());
        trace.openFailureEnds();
    }
    return opened;
}

void Morvek::sendCommand(SerialPort *port, const QString &text, bool armTimeout)
{
    const QByteArray bytes = text.toLatin1();
    port->sendData(bytes);
    if (armTimeout)
        replyTimer->start();
    trace.sent(port->lastPortName(), bytes, armTimeout ? replyTimeoutMs : 0);
}

void Morvek::deliver()
{
    const bool delivered = writeStandardOutput(result.toLatin1());
    if (delivered)
        trace.answered();
    else
        trace.outputFailed(qt_error_string(errno));
    releasePorts();
    endProcess(delivered ? 0 : outputFailedStatus);
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

    if (portName2.isEmpty()) {
        result = reply;
        deliver();
        return;
    }

    result = firstField(reply) + QChar(',');
    // Device 2 is asked again over the line that is already open. Reopening it would put
    // the tty back to its old settings for a moment, in which a real tty echoes the reply
    // back to the device and loses it, and would drop a command not yet written.
    if (!port2->isPortOpen() && !openLine(port2, portName2)) {
        endWithoutReading(openFailedStatus);
        return;
    }
    sendCommand(port2, queryCommand(), !device2Asked);
    device2Asked = true;
}

void Morvek::readComm2()
{
    const QString reply = takeReply(port2, portName2);
    result.append(firstField(reply));
    deliver();
}

void Morvek::deviceGone1()
{
    // Once device 1 has answered, the run waits for device 2 alone: a device 1 that goes
    // away then only closes its own line.
    trace.deviceGone(portName1, !device2Asked);
    if (device2Asked)
        port1->closePort();
    else
        endWithoutReading(deviceGoneStatus);
}

void Morvek::deviceGone2()
{
    trace.deviceGone(portName2, true);
    endWithoutReading(deviceGoneStatus);
}

void Morvek::replyOverdue()
{
    trace.timedOut();
    endWithoutReading(noReplyStatus);
}

void Morvek::endSignalled(const QString &signalName)
{
    trace.endSignalled(signalName);
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
    replyTimer->stop();
    releasePorts();
    endProcess(endStatus);
}
