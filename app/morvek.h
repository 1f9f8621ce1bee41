#ifndef MORVEK_MORVEK_H
#define MORVEK_MORVEK_H

#include "discovery/deviceentry.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QTimer;
class SerialPort;

// Controller of one run: queries the device in slot 1, then the one in slot 2 (if any),
// prints the composed reply and ends the process. Every path ends in timeOut().
class Morvek : public QObject
{
    Q_OBJECT

public:
    // The parent is accepted for the usual QObject signature but not used: the controller
    // is a top-level object that owns its ports.
    explicit Morvek(QObject *parent = nullptr);
    ~Morvek() override;

    void setFirstDevice(DeviceEntry entry);
    void setSecondDevice(DeviceEntry entry);
    void startQuery();

    static QByteArray filterReply(const QByteArray &raw);
    static QString firstField(const QString &reply);

private slots:
    void readComm1();
    void readComm2();
    void timeOut();
    void deviceGone1();
    void deviceGone2();

private:
    void sendCommand(SerialPort *port, const QString &text, bool armTimeout);
    // Writes the result and ends the process: 0 once written, 1 when it could not be.
    [[noreturn]] void deliver();
    void releasePorts();
    static QByteArray drainReply(SerialPort *port);

    SerialPort *port1;
    SerialPort *port2;
    QString result;
    QString portName1;
    QString deviceId1;
    QString portName2;
    QString deviceId2;
    QTimer *replyTimer;
    bool device2Asked = false;
};

#endif
