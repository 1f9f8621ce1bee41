// SPDX-License-Identifier: MIT
#ifndef MORVEK_MORVEK_H
#define MORVEK_MORVEK_H

#include "app/runreport.h"
#include "discovery/deviceentry.h"

#include <QObject>
#include <QString>

#include <optional>

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
    // The events of the run go to the trace, and what became of each device to the report,
    // whose first two records stand for slots 1 and 2. The parent is accepted for the usual
    // QObject signature but not used: the controller is a top-level object that owns its
    // ports.
    explicit Morvek(Trace &runTrace, RunReport &runReport, QObject *parent = nullptr);
    ~Morvek() override;

    void setFirstDevice(DeviceEntry entry);
    void setSecondDevice(DeviceEntry entry);
    // Both slots as given, not ordered by number (--number N,M).
    void setDevicesInOrder(DeviceEntry first, DeviceEntry second);
    DeviceEntry firstDevice() const { return DeviceEntry{portName1, deviceId1}; }
    DeviceEntry secondDevice() const { return DeviceEntry{portName2, deviceId2}; }
    // A run that ends without a reading exits with the status of why (--fail), not 0.
    void setFailWithoutReading(bool fail);
    // The run is described by the report's JSON in place of the plain output (--json).
    void setJsonOutput(bool json);
    void startQuery();

signals:
    // Both ports are closed and their locks gone; what follows is the output alone.
    void portsReleased();

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
    // Closes the ports, then writes the output (the reading, or the JSON line), and ends the
    // process with the status, or 1 when the output could not be written. A run ended by a
    // signal writes nothing.
    [[noreturn]] void finish(const std::optional<QString> &output, int status);
    bool openLine(SerialPort *port, const QString &name, int slot);
    // The report's record of the device in slot 1 or 2, and what became of it.
    DeviceRecord *record(int slot);
    void noteOutcome(int slot, DeviceOutcome outcome, const QString &error = QString());
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
    bool jsonOutput = false;
    bool signalled = false;
    int endStatus = 0;
    Trace &trace;
    RunReport &report;
};

#endif
