#include "platform/devicepath.h"
#include "ptydevice.h"
#include "serial/serialport.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

#include <termios.h>

namespace {

QByteArray bufferBytes(const SerialPort &port)
{
    QByteArray bytes;
    for (const char byte : port.receiveBuffer)
        bytes.append(byte);
    return bytes;
}

} // namespace

class SerialPortTest : public QObject
{
    Q_OBJECT

private slots:
    void baudRateTable_data();
    void baudRateTable();
    void fullPortName_data();
    void fullPortName();
    void nativePortPath_data();
    void nativePortPath();
    void openAppliesFixedLineSettings();
    void burstIsAppendedThenAnnouncedOnce();
    void emptyReadStillAnnounces();
    void unreadBytesSurviveCloseAndReopen();
    void sendWritesOnlyWhileOpen();
    void failedReopenLeavesClosedWithOldName();
    void emptyNameIsAttempted();
};

void SerialPortTest::baudRateTable_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("rate");
    const int rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                         19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (int i = 0; i < 15; ++i)
        QTest::addRow("index %d", i) << i << rates[i];
    QTest::newRow("one past the end") << 15 << 0;
    QTest::newRow("negative") << -1 << 0;
    QTest::newRow("most negative") << std::numeric_limits<int>::min() << 0;
}

void SerialPortTest::baudRateTable()
{
    QFETCH(int, index);
    QFETCH(int, rate);
    QCOMPARE(SerialPort::baudRateValue(index), rate);
}

void SerialPortTest::fullPortName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");
    QTest::newRow("plain COM name") << "COM5"
                                    << "\\\\.\\COM5";
    QTest::newRow("prefix at the start") << "\\\\.\\COM5"
                                         << "\\\\.\\COM5";
    QTest::newRow("prefix in the middle") << "x\\\\.\\COM5"
                                          << "x\\\\.\\COM5";
    QTest::newRow("empty name") << ""
                                << "\\\\.\\";
    QTest::newRow("partial prefix") << "\\\\COM5"
                                    << "\\\\.\\\\\\COM5";
    QTest::newRow("prefix with a lower-case name") << "\\\\.\\com7"
                                                   << "\\\\.\\com7";
}

void SerialPortTest::fullPortName()
{
    QFETCH(QString, name);
    QFETCH(QString, path);
    QCOMPARE(SerialPort::fullPortName(name), path);
}

void SerialPortTest::nativePortPath_data()
{
    QTest::addColumn<QString>("windowsPath");
    QTest::addColumn<QString>("localPath");
    QTest::newRow("COM1 is the first ACM tty") << "\\\\.\\COM1"
                                               << "/dev/ttyACM0";
    QTest::newRow("COM12") << "\\\\.\\COM12"
                           << "/dev/ttyACM11";
    QTest::newRow("COM0 has no tty") << "\\\\.\\COM0"
                                     << "COM0";
    QTest::newRow("leading zero is no COM number") << "\\\\.\\COM05"
                                                   << "COM05";
    QTest::newRow("trailing text") << "\\\\.\\COM5x"
                                   << "COM5x";
    QTest::newRow("lower case") << "\\\\.\\com5"
                                << "com5";
    QTest::newRow("absolute path") << "\\\\.\\/dev/pts/3"
                                   << "/dev/pts/3";
    QTest::newRow("prefix not at the start") << "x\\\\.\\COM5"
                                             << "x\\\\.\\COM5";
    QTest::newRow("prefix alone") << "\\\\.\\"
                                  << "";
    QTest::newRow("huge number") << "\\\\.\\COM999999999"
                                 << "/dev/ttyACM999999998";
    QTest::newRow("ten digits") << "\\\\.\\COM1000000000"
                                << "COM1000000000";
    QTest::newRow("digits of another script")
        << QString::fromUtf8("\\\\.\\COM\u0665") << QString::fromUtf8("COM\u0665");
}

void SerialPortTest::nativePortPath()
{
    QFETCH(QString, windowsPath);
    QFETCH(QString, localPath);
    QCOMPARE(::nativePortPath(windowsPath), localPath);
}

void SerialPortTest::openAppliesFixedLineSettings()
{
    PtyDevice device;
    QVERIFY(device.isValid());
    SerialPort port;
    QVERIFY(port.openPort(device.slavePath()));
    QVERIFY(port.isPortOpen());
    QCOMPARE(port.lastPortName(), device.slavePath());

    auto *serial = port.findChild<QSerialPort *>();
    QVERIFY(serial);
    QCOMPARE(serial->openMode(), QIODevice::ReadWrite);
    QCOMPARE(serial->baudRate(QSerialPort::Input), 19200);
    QCOMPARE(serial->baudRate(QSerialPort::Output), 19200);
    QCOMPARE(serial->dataBits(), QSerialPort::Data8);
    QCOMPARE(serial->parity(), QSerialPort::NoParity);
    QCOMPARE(serial->stopBits(), QSerialPort::OneStop);
    QCOMPARE(serial->flowControl(), QSerialPort::NoFlowControl);

    // What the line really runs at: the pty's terminal settings, shared by both ends.
    termios tio = {};
    QCOMPARE(tcgetattr(device.master(), &tio), 0);
    QCOMPARE(cfgetispeed(&tio), speed_t(B19200));
    QCOMPARE(cfgetospeed(&tio), speed_t(B19200));
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF), tcflag_t(0));
}

void SerialPortTest::burstIsAppendedThenAnnouncedOnce()
{
    PtyDevice device;
    SerialPort port;
    QVERIFY(port.openPort(device.slavePath()));
    QByteArray seenAtSignal;
    connect(&port, &SerialPort::readComm, [&] { seenAtSignal = bufferBytes(port); });
    QSignalSpy spy(&port, SIGNAL(readComm()));

    QVERIFY(device.write(QByteArray("\x31\x2c\x0d", 3)));
    QVERIFY(spy.wait(2000));
    QTest::qWait(50);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(seenAtSignal, QByteArray("\x31\x2c\x0d", 3));
    QCOMPARE(bufferBytes(port), QByteArray("\x31\x2c\x0d", 3));
}

void SerialPortTest::emptyReadStillAnnounces()
{
    PtyDevice device;
    SerialPort port;
    QVERIFY(port.openPort(device.slavePath()));
    port.receiveBuffer.append('x');
    QSignalSpy spy(&port, SIGNAL(readComm()));
    QVERIFY(QMetaObject::invokeMethod(&port, "readData", Qt::DirectConnection));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(bufferBytes(port), QByteArray("x"));
}

void SerialPortTest::unreadBytesSurviveCloseAndReopen()
{
    PtyDevice device;
    SerialPort port;
    QSignalSpy spy(&port, SIGNAL(readComm()));
    QVERIFY(port.openPort(device.slavePath()));
    QVERIFY(device.write("12"));
    QVERIFY(spy.wait(2000));
    port.closePort();
    QVERIFY(!port.isPortOpen());
    QCOMPARE(bufferBytes(port), QByteArray("12"));

    QVERIFY(port.openPort(device.slavePath()));
    QVERIFY(device.write("3"));
    QVERIFY(spy.wait(2000));
    QCOMPARE(bufferBytes(port), QByteArray("123"));
}

void SerialPortTest::sendWritesOnlyWhileOpen()
{
    PtyDevice device;
    SerialPort port;
    QVERIFY(!port.sendData("ATCD\r\n"));
    QVERIFY(port.openPort(device.slavePath()));
    QVERIFY(!port.sendData(QByteArray()));
    QVERIFY(port.sendData("ATCD\r\n"));
    QCOMPARE(device.read(6, 2000), QByteArray("ATCD\r\n"));

    port.closePort();
    QVERIFY(!port.sendData("ATCD\r\n"));
    QCOMPARE(device.read(1, 200), QByteArray());
    // Closing a closed line is harmless.
    port.closePort();
    QVERIFY(!port.isPortOpen());
}

void SerialPortTest::failedReopenLeavesClosedWithOldName()
{
    PtyDevice device;
    SerialPort port;
    QCOMPARE(port.lastPortName(), QString(""));
    QVERIFY(!port.openPort("/nonexistent/tty"));
    QCOMPARE(port.lastPortName(), QString(""));

    QVERIFY(port.openPort(device.slavePath()));
    QVERIFY(!port.openPort("/nonexistent/tty"));
    QVERIFY(!port.isPortOpen());
    QCOMPARE(port.lastPortName(), device.slavePath());
    QVERIFY(!port.sendData("x"));
}

void SerialPortTest::emptyNameIsAttempted()
{
    SerialPort port;
    QVERIFY(!port.openPort(QString()));
    QVERIFY(!port.isPortOpen());
}

QTEST_GUILESS_MAIN(SerialPortTest)
#include "tst_serialport.moc"
