// SPDX-License-Identifier: MIT
#ifndef MORVEK_SERIALPORT_H
#define MORVEK_SERIALPORT_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <functional>
#include <utility>

// Line settings as indices into the code tables of serialport.cpp (the numbering of the
// Windows communications interface), not as Qt values.
struct LineSettings {
    qint32 baudRateIndex;
    qint32 dataBitsIndex;
    qint32 parityIndex;
    qint32 stopBitsIndex;
    qint32 flowControlIndex;
    qint32 reserved1;
    qint32 reserved2;
};

// One serial line with fixed settings. Every received byte is appended to the public
// receiveBuffer and announced with readComm(); the user drains the buffer from the front.
class TtyLine;

class SerialPort : public QObject
{
    Q_OBJECT

public:
    explicit SerialPort(QObject *parent = nullptr);
    ~SerialPort() override;

    bool openPort(const QString &name);
    void closePort();
    bool sendData(const QByteArray &data);

    static qint32 baudRateValue(qint32 index);
    static QString fullPortName(const QString &name);
    // The path that openPort opens for a port name, on this system.
    static QString systemPath(const QString &name);
    // Why the last operation on the line failed: who holds the port when another program
    // does, otherwise what the serial port library tells.
    QString errorText() const;

    // For the controller, which asks device 2 again over its line while that is still open,
    // and for the trace, which names the port and the path opened.
    bool isPortOpen() const { return portOpen; }
    QString lastPortName() const { return portName; }
    // The path that the last openPort opened, or tried to.
    QString lastPath() const { return path; }
    // Runs in the moment between the held-port checks and the open, for the tests to lock
    // the port there as another program might.
    void setBeforeOpen(std::function<void()> hook) { beforeOpen = std::move(hook); }

signals:
    void readComm();
    // The device went away (unplugged, or the line hung up): nothing more will arrive.
    void deviceGone();

private slots:
    void readData();
    void checkError(QSerialPort::SerialPortError error);

private:
    QSerialPort *serial;
    // The line where Qt Serial Port would lock it where no other program looks.
    TtyLine *direct;
    bool lastOpenDirect = false;
    QString portName;
    QString path;
    bool portOpen;
    LineSettings settings;
    QString heldBy;
    std::function<void()> beforeOpen;

public:
    QList<char> receiveBuffer;
};

#endif
