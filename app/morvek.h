// SPDX-License-Identifier: MIT
#ifndef MORVEK_MORVEK_H
#define MORVEK_MORVEK_H

#include "discovery/deviceentry.h"

#include <QObject>
#include <QString>

class QTimer;
class SerialPort;
class Trace;

// Controller of one run: queries the device in slot 1, then the one in slot 2 (if any),
// prints the composed reply and ends the process. A reading ends the run in deliver(); every
// other path ends it in timeOut(), which despite its name is the common end, not the reply
// timer's slot: the timer goes to replyOverdue(), which ends through timeOut() as an open
// failure, a device that goes away and an end signal do.
class Morvek : public QObject
{
    Q_OBJECT

public:
    // The events of the run go to the trace. The parent is accepted for the usual QObject
    // signature but not used: the controller is a top-level object that owns its ports.
    explicit Morvek(Trace &runTrace, QObject *parent = nullptr);
    ~Morvek() override;

    void setFirstDevice(DeviceEntry entry);
    void setSecondDevice(DeviceEntry entry);
    // A run that ends without a reading exits with the status of why (--fail), not 0.
    void setFailWithoutReading(bool fail);
    void startQuery();

private slots:
    void readComm1();
    void readComm2();
    // Ends the run without a reading, with the status set by then: 0, or why with --fail.
    void timeOut();
    void deviceGone1();
    void deviceGone2();
    // The reply timer: the device being waited for has had its time.
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
    Trace &trace;
};

#endif
