// SPDX-License-Identifier: MIT
#include "serialport.h"

#include "platform/devicepath.h"
#include "platform/portlock.h"
#include "platform/ttyline.h"

#include <QSerialPort>

namespace {

// Index tables. Baud, parity and stop bits follow the Windows communications numbering,
// data bits count from 5. An index outside a table selects the first entry of that table
// (the settings are fixed by the constructor, so this is never reached in practice).
const QSerialPort::DataBits dataBitsTable[] = {QSerialPort::Data5, QSerialPort::Data6,
                                               QSerialPort::Data7, QSerialPort::Data8};
const QSerialPort::Parity parityTable[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                           QSerialPort::EvenParity, QSerialPort::MarkParity,
                                           QSerialPort::SpaceParity};
const QSerialPort::StopBits stopBitsTable[] = {QSerialPort::OneStop, QSerialPort::OneAndHalfStop,
                                               QSerialPort::TwoStop};
const QSerialPort::FlowControl flowControlTable[] = {
    QSerialPort::NoFlowControl, QSerialPort::HardwareControl, QSerialPort::SoftwareControl};

template <typename T, int N> T tableValue(const T (&table)[N], qint32 index)
{
    return (index >= 0 && index < N) ? table[index] : table[0];
}

const QString deviceNamespacePrefix = QStringLiteral("\\\\.\\");

} // namespace

SerialPort::SerialPort(QObject *parent) : QObject(parent)
{
    portName = QString("");
    portOpen = false;
    serial = new QSerialPort(this);
    connect(serial, SIGNAL(readyRead()), this, SLOT(readData()));
    connect(serial, SIGNAL(errorOccurred(QSerialPort::SerialPortError)), this,
            SLOT(checkError(QSerialPort::SerialPortError)));
    direct = new TtyLine(this);
    connect(direct, SIGNAL(readyRead()), this, SLOT(readData()));
    connect(direct, SIGNAL(gone()), this, SIGNAL(deviceGone()));
    settings = LineSettings{8, 3, 0, 0, 0, 1, 1000};
}

SerialPort::~SerialPort()
{
    closePort();
}

qint32 SerialPort::baudRateValue(qint32 index)
{
    static const qint32 rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                   19200, 38400, 56000, 57600, 115200, 128000, 256000};
    const qint32 count = qint32(sizeof(rates) / sizeof(rates[0]));
    return (index >= 0 && index < count) ? rates[index] : 0;
}

QString SerialPort::fullPortName(const QString &name)
{
    QString path = name;
    if (path.contains(deviceNamespacePrefix, Qt::CaseSensitive))
        return path;
    return path.insert(0, deviceNamespacePrefix);
}

QString SerialPort::systemPath(const QString &name)
{
    return nativePortPath(fullPortName(name));
}

QString SerialPort::errorText() const
{
    if (!heldBy.isEmpty())
        return heldBy;
    return lastOpenDirect ? direct->errorString() : serial->errorString();
}

bool SerialPort::openPort(const QString &name)
{
    if (portOpen) {
        portOpen = false;
        serial->close();
        direct->close();
    }
    // A setting the port rejects does not stop the open: the results are not consulted.
    serial->setBaudRate(baudRateValue(settings.baudRateIndex), QSerialPort::AllDirections);
    serial->setDataBits(tableValue(dataBitsTable, settings.dataBitsIndex));
    serial->setParity(tableValue(parityTable, settings.parityIndex));
    serial->setStopBits(tableValue(stopBitsTable, settings.stopBitsIndex));
    serial->setFlowControl(tableValue(flowControlTable, settings.flowControlIndex));
    path = systemPath(name);
    serial->setPortName(path);
    // Qt Serial Port respects only its own lock files (and takes a lock file in any other
    // format for a stale one), so the port is locked around the open as other serial
    // programs lock it, and their hold counts as a failed open.
    PortLock lock;
    heldBy = lock.lockBeforeOpen(path);
    portOpen = false;
    if (heldBy.isEmpty()) {
        if (beforeOpen)
            beforeOpen();
        lastOpenDirect = lock.qtLocksElsewhere();
        const bool opened =
            lastOpenDirect ? direct->open(path, *serial) : serial->open(QIODevice::ReadWrite);
        heldBy = lock.lockAfterOpen(*serial, *direct);
        portOpen = opened && heldBy.isEmpty();
        if (opened && !portOpen) {
            serial->close();
            direct->close();
        }
    }
    if (portOpen)
        portName = name;
    return portOpen;
}

void SerialPort::closePort()
{
    portOpen = false;
    serial->close();
    direct->close();
}

bool SerialPort::sendData(const QByteArray &data)
{
    if (!serial->isOpen() && !direct->isOpen())
        return false;
    const qint64 written = direct->isOpen() ? direct->write(data)
                                            : serial->write(data.constData(), qint64(data.size()));
    return written > 0;
}

void SerialPort::readData()
{
    const QByteArray bytes = direct->isOpen() ? direct->readAll() : serial->readAll();
    for (const char byte : bytes)
        receiveBuffer.append(byte);
    emit readComm();
}

void SerialPort::checkError(QSerialPort::SerialPortError error)
{
    // A hung-up line keeps reporting itself readable and reads nothing; only an open line
    // can go away, so failures to open are left to openPort's result.
    if (serial->isOpen() &&
        (error == QSerialPort::ResourceError || error == QSerialPort::ReadError))
        emit deviceGone();
}
