// SPDX-License-Identifier: MIT
#ifndef MORVEK_MORVEK_H
#define MORVEK_MORVEK_H

#include "discovery/deviceentry.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QTimer;
class SerialPort;
class Trace;

// Controller of one run: queries the device in slot 1, then the one in slot 2 (if any),
// prints the composed reply and ends the process. Every path ends in timeOut().
class Morvek : public QObject
{
    Q_OBJECT

public:
    // The exit status of a run whose reading could not be written to standard output.
    static constexpr int outputFailedStatus = 1;
    // The exit status of a run that finds no device.
    static constexpr int noDeviceStatus = -1;
    // How long a device has to answer, from the command that first asks it.
    static constexpr int replyTimeoutMs = 1000;
    // With --fail, the exit status of a query that prints no reading, by why. Apart from 1
    // (output failed), 2 (usage), 3 (abort() on Windows) and -1 (no device), and small, so
    // that cmd's "if errorlevel N" (N or more) can test them from the highest down.
    static constexpr int openFailedStatus = 4;
    static constexpr int noReplyStatus = 5;
    static constexpr int deviceGoneStatus = 6;

    // The parent is accepted for the usual QObject signature but not used: the controller
    // is a top-level object that owns its ports.
    explicit Morvek(QObject *parent = nullptr);
    ~Morvek() override;

    void setFirstDevice(DeviceEntry entry);
    void setSecondDevice(DeviceEntry entry);
    // Events of the run go to the trace from now on; null (the default) traces nothing.
    void setTrace(Trace *runTrace);
    // A run that ends without a reading exits with the status of why (--fail), not 0.
    void setFailWithoutReading(bool fail);
    void startQuery();

    // Whether the device listed second is queried before the one listed first: it has the
    // smaller number. Equal or non-numeric numbers keep the listed order.
    static bool queriedFirst(const DeviceEntry &second, const DeviceEntry &first);

    static QByteArray filterReply(const QByteArray &raw);
    static QString firstField(const QString &reply);

private slots:
    void readComm1();
    void readComm2();
    void timeOut();
    void deviceGone1();
    void deviceGone2();
    void replyOverdue();
    // A signal asks the run to end: it ends as any other, by that signal.
    void endSignalled(const QString &signalName);

private:
    void sendCommand(SerialPort *port, const QString &text, bool armTimeout);
    // Ends the run without a reading, through timeOut(); failStatus is why, for --fail.
    void endWithoutReading(int failStatus);
    // Writes the result and ends the process: 0 once written, 1 when it could not be.
    [[noreturn]] void deliver();
    bool openLine(SerialPort *port, const QString &name);
    void releasePorts();
    // Empties the port's receive buffer and gives the reply that it held, filtered.
    QString takeReply(SerialPort *port, const QString &portName);

    SerialPort *port1;
    SerialPort *port2;
    QString result;
    QString portName1;
    QString deviceId1;
    QString portName2;
    QString deviceId2;
    QTimer *replyTimer;
    bool device2Asked = false;
    bool failWithoutReading = false;
    int endStatus = 0;
    Trace *trace = nullptr;
};

#endif
