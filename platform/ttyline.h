// SPDX-License-Identifier: MIT
#ifndef MORVEK_TTYLINE_H
#define MORVEK_TTYLINE_H

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

class QSocketNotifier;

// A serial line opened without Qt Serial Port, for where it would put its lock file in a
// folder that no other program looks in (PortLock::qtLocksElsewhere): the line settings that
// a closed QSerialPort holds, the tty in exclusive mode (TIOCEXCL) as Qt Serial Port sets it,
// its first settings put back on the close. Never used on Windows, where it opens nothing.
class TtyLine : public QObject
{
    Q_OBJECT

public:
    explicit TtyLine(QObject *parent = nullptr);
    ~TtyLine() override;

    // Opens path for reading and writing with the settings of `settings`, a closed line.
    bool open(const QString &path, const QSerialPort &settings);
    void close();
    bool isOpen() const { return fd >= 0; }
    // The tty's descriptor; -1 while closed.
    int handle() const { return fd; }
    // Takes the bytes; those the tty cannot take at once follow as it drains. The count
    // accepted, or -1 on a closed line.
    qint64 write(const QByteArray &bytes);
    QByteArray readAll();
    QString errorString() const { return error; }

signals:
    void readyRead();
    // The line hung up (the device went away) or failed: nothing more will arrive.
    void gone();

private:
    int fd = -1;
    QString error;
    QByteArray received;
    QByteArray pending;
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
    QByteArray firstSettings;

    void readLine();
    void writePending();
    void fail(int errorNumber);
};

#endif
