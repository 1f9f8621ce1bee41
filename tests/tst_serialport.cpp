// SPDX-License-Identifier: MIT
#include "platform/devicepath.h"
#include "platform/linux/lockfilerules.h"
#include "platform/linux/processholders.h"
#include "ptydevice.h"
#include "serial/serialport.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

QByteArray bufferBytes(const SerialPort &port)
{
    QByteArray bytes;
    for (const char byte : port.receiveBuffer)
        bytes.append(byte);
    return bytes;
}

// A PID that no process has any more.
qint32 deadPid()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

// Opens the port as another user, as far as the files are concerned (the effective uid).
bool openAs(uid_t uid, SerialPort &port, const PtyDevice &device)
{
    chmod(QFile::encodeName(device.slavePath()).constData(), 0666);
    if (seteuid(uid) != 0)
        return false;
    const bool opened = port.openPort(device.slavePath());
    return seteuid(0) == 0 && opened;
}

// Moves the test into a mount namespace of its own, once, so that it may mount over /run/lock
// and /tmp without touching the machine's.
bool privateMounts()
{
    static const bool done = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return done;
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
    void portHeldByAnotherProgram_data();
    void portHeldByAnotherProgram();
    void lockTakenBetweenCheckAndOpen_data();
    void lockTakenBetweenCheckAndOpen();
    void unwritableLockFolder_data();
    void unwritableLockFolder();
    void lockFileName_data();
    void lockFileName();
    void lockFilePid_data();
    void lockFilePid();
    void runsLockFileProgram_data();
    void runsLockFileProgram();
    void lockFileForms_data();
    void lockFileForms();
    void garbledLockHolds_data();
    void garbledLockHolds();
    void mayRemoveLockFile_data();
    void mayRemoveLockFile();
    void lockListFileId_data();
    void lockListFileId();
    void flockHolder_data();
    void flockHolder();
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

void SerialPortTest::portHeldByAnotherProgram_data()
{
    QTest::addColumn<QString>("hold");
    // The lock file's bytes, with %1 for the PID it names; none for a hold on the tty.
    QTest::addColumn<QByteArray>("lockFile");
    QTest::addColumn<qint32>("pid");
    // What errorText() says of the holder; empty: the port opens.
    QTest::addColumn<QString>("reason");
    const qint32 self = qint32(getpid());
    const qint32 running = qint32(getppid());
    QTest::newRow("flock by another open")
        << "flock" << QByteArray() << self << QStringLiteral("held by process %1 (").arg(self);
    // Root opens a tty in exclusive mode all the same, so the mode itself is asked.
    QTest::newRow("exclusive mode")
        << "exclusive" << QByteArray() << self << "the tty is in exclusive mode (TIOCEXCL)";
    QTest::newRow("HDB lock file of a running process")
        << "lock" << QByteArray("%1\n") << running
        << QStringLiteral("held by process %1").arg(running);
    QTest::newRow("Qt's lock file of a running program that it takes for stale")
        << "lock" << QByteArray("%1\n\n\n") << running
        << QStringLiteral("held by process %1").arg(running);
    // A lock of a killed run of a Qt program, whose PID another program has since.
    QTest::newRow("Qt's lock file naming another program than runs under its PID is taken over")
        << "lock" << QByteArray("%1\nno-such-program\nhost\n") << running << QString();
    const QByteArray runningProgram =
        QFileInfo(QFile::decodeName(processExecutable(running))).fileName().toLocal8Bit();
    QTest::newRow("Qt's lock file of the program running under its PID")
        << "lock"
        << "%1\n" + runningProgram + "\nhost\n"
        << running << QStringLiteral("held by process %1").arg(running);
    const qint32 binary = running;
    QTest::newRow("binary lock file of a running process")
        << "lock" << QByteArray(reinterpret_cast<const char *>(&binary), 4) << running
        << QStringLiteral("held by process %1").arg(running);
    QTest::newRow("HDB lock file of a dead process is taken over")
        << "lock" << QByteArray("%1\n") << deadPid() << QString();
    // Garbled: Qt Serial Port respects it for QLockFile's 30 s, then takes it over.
    QTest::newRow("garbled lock file")
        << "lock" << QByteArray("garbled\n") << 0 << "Permission error while locking the device";
    QTest::newRow("garbled lock file older than 30 s is taken over")
        << "old lock" << QByteArray("garbled\n") << 0 << QString();
    // Any user may make one huge: it is never read whole (QLockFile would: 256 MB, seconds).
    QTest::newRow("huge garbled lock file older than 30 s is taken over at once")
        << "huge old lock" << QByteArray("garbled, and no line end") << 0 << QString();
    // Nothing but a regular file is read, followed or removed: each of these used to hang
    // the open, make it spin, take the port for free or say nothing of why it was held.
    QTest::newRow("FIFO at the lock path")
        << "fifo" << QByteArray() << 0 << "/LCK..pts_%1 is a FIFO, not a lock file";
    QTest::newRow("FIFO at Qt's .rmlock beside a stale lock file")
        << "stale lock, rmlock fifo" << QByteArray("%1\n") << deadPid()
        << "/LCK..pts_%1.rmlock is a FIFO, not a lock file";
    QTest::newRow("link to /dev/zero")
        << "link /dev/zero" << QByteArray() << 0 << "is a symbolic link to /dev/zero";
    QTest::newRow("link to the lock file of a running process")
        << "link to lock" << QByteArray("%1\n") << running << "is a symbolic link to /";
    QTest::newRow("dangling link")
        << "link /nonexistent/LCK" << QByteArray() << 0 << "is a symbolic link to /nonexistent/LCK";
    QTest::newRow("directory") << "directory" << QByteArray() << 0 << "is a directory";
    // Sticky /var/lock: only its owner or root may take it away, so it is said who can.
    const qint32 dead = deadPid();
    QTest::newRow("stale lock file of another user")
        << "other user's stale lock" << QByteArray("%1\n") << dead
        << QStringLiteral("of user daemon names process %1, which has ended, and only daemon "
                          "or an administrator can remove it (rm /var/lock/LCK..pts_")
               .arg(dead);
    // Mode 000: neither read nor called a device.
    QTest::newRow("unreadable lock file of another user")
        << "other user's unreadable lock" << QByteArray("%1\n") << running
        << QStringLiteral("the lock file /var/lock/LCK..pts_%1 cannot be read (Permission denied); "
                          "the port counts as held until it is removed");
    QTest::newRow("old garbled lock file of another user")
        << "other user's old garbled lock" << QByteArray("garbled\n") << 0
        << QStringLiteral("of user daemon names no process and is older than 30 s, and only "
                          "daemon or an administrator can remove it (rm /var/lock/LCK..pts_");
}

void SerialPortTest::portHeldByAnotherProgram()
{
    QFETCH(QString, hold);
    QFETCH(QByteArray, lockFile);
    QFETCH(qint32, pid);
    QFETCH(QString, reason);
    const bool otherUser = hold.startsWith("other user's");
    if (otherUser && geteuid() != 0)
        QSKIP("needs root, to stand for another user");
    PtyDevice device;
    QVERIFY(device.isValid());
    const QByteArray path = QFile::encodeName(device.slavePath());

    const int holder = open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(holder >= 0);
    const auto closeHolder = qScopeGuard([holder] { close(holder); });
    if (hold == "flock")
        QCOMPARE(flock(holder, LOCK_EX | LOCK_NB), 0);
    if (hold == "exclusive") {
        QCOMPARE(ioctl(holder, TIOCEXCL), 0);
        int exclusive = 0;
        if (ioctl(holder, TIOCGEXCL, &exclusive) != 0)
            QSKIP("the mode cannot be asked here (qemu-user does not pass TIOCGEXCL on)");
    }

    // The name Qt Serial Port and other programs give a lock file, LCK..pts_N here.
    const QString lockPath = "/var/lock/LCK.." + device.slavePath().mid(5).replace('/', '_');
    QByteArray lockBytes = lockFile;
    if (lockBytes.startsWith("%1"))
        lockBytes = QString::fromLatin1(lockBytes).arg(pid, 10, 10, QLatin1Char(' ')).toLatin1();
    // A lock file of its own: the test's, or elsewhere for a link to point at.
    const QString filePath =
        hold == "link to lock" ? QDir::tempPath() + "/morvek-test-lock" : lockPath;
    QFile::remove(QDir::tempPath() + "/morvek-test-lock");
    const QByteArray lockName = QFile::encodeName(lockPath);
    if ((hold.endsWith("lock") && hold != "flock") || hold == "stale lock, rmlock fifo") {
        QFile lock(filePath);
        if (!lock.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            QSKIP("cannot write a lock file in /var/lock");
        lock.write(lockBytes);
        lock.flush();
        if (hold == "huge old lock")
            QVERIFY(lock.resize(qint64(256) << 20)); // sparse: it costs no disk
        // An hour, not 31 s: the rule reads whole seconds of the coarse clock, which can lag
        // this one across a second's boundary (garbledLockHolds has rows at the 30 s edge).
        if (hold.contains("old "))
            lock.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                             QFileDevice::FileModificationTime);
    }
    if (hold.startsWith("link"))
        QCOMPARE(symlink(QFile::encodeName(hold == "link to lock" ? filePath : hold.mid(5)),
                         lockName.constData()),
                 0);
    if (hold == "fifo")
        QCOMPARE(mkfifo(lockName.constData(), 0666), 0);
    if (hold == "stale lock, rmlock fifo")
        QCOMPARE(mkfifo((lockName + ".rmlock").constData(), 0666), 0);
    if (hold == "directory")
        QCOMPARE(mkdir(lockName.constData(), 0755), 0);
    if (otherUser)
        QCOMPARE(chown(lockName.constData(), 1, 1), 0);
    if (hold.contains("unreadable"))
        QCOMPARE(chmod(lockName.constData(), 0), 0);
    const auto removeLock = qScopeGuard([&] {
        unlink(lockName.constData());
        unlink((lockName + ".rmlock").constData());
        rmdir(lockName.constData());
        QFile::remove(filePath);
    });
    struct stat before = {};
    const bool present = lstat(lockName.constData(), &before) == 0;
    // The pty's number stands for %1 in the expected text.
    if (reason.contains("%1"))
        reason = reason.arg(device.slavePath().section('/', -1));

    SerialPort port;
    // What used to hang the open for ever ends the test instead.
    alarm(10);
    QElapsedTimer opening;
    opening.start();
    const bool opened = otherUser ? openAs(65534, port, device) : port.openPort(device.slavePath());
    alarm(0);
    QVERIFY2(hold != "huge old lock" || opening.elapsed() < 2000, "the huge lock file was read");
    QCOMPARE(opened, reason.isEmpty());
    QCOMPARE(port.isPortOpen(), reason.isEmpty());
    if (!reason.isEmpty()) {
        QVERIFY2(port.errorText().contains(reason), qPrintable(port.errorText()));
        struct stat after = {};
        QVERIFY2(!present ||
                     (lstat(lockName.constData(), &after) == 0 && after.st_ino == before.st_ino),
                 "what is at the lock path is left in place");
        QVERIFY(!port.sendData("ATCD\r\n"));
        QCOMPARE(device.read(1, 100), QByteArray());
    }
    if (hold == "lock" && !reason.isEmpty()) {
        QFile lock(lockPath);
        QVERIFY2(lock.open(QIODevice::ReadOnly), "the lock file is left in place");
        QCOMPARE(lock.readAll(), lockBytes);
    }
}

void SerialPortTest::lockTakenBetweenCheckAndOpen_data()
{
    // What another program creates at the lock path in the moment between the checks and
    // the open (%1: the PID it names; null: nothing), and what is at Qt's .rmlock beside it
    // before the run (null: nothing).
    QTest::addColumn<QByteArray>("rival");
    QTest::addColumn<QByteArray>("rmlock");
    QTest::addColumn<qint32>("pid");
    // What errorText() says; empty: the port opens.
    QTest::addColumn<QString>("reason");
    const qint32 running = qint32(getppid());
    const QString heldByRunning = QStringLiteral("held by process %1").arg(running);
    QTest::newRow("nobody") << QByteArray() << QByteArray() << 0 << QString();
    QTest::newRow("HDB lock file of a running process")
        << QByteArray("%1\n") << QByteArray() << running << heldByRunning;
    QTest::newRow("Qt's lock file of a running program that it takes for stale")
        << QByteArray("%1\n\n\n") << QByteArray() << running << heldByRunning;
    QTest::newRow("lock file created and not yet written")
        << QByteArray("") << QByteArray() << 0 << "names no process";
    // One left by a process killed in the moment of its open is taken away.
    QTest::newRow(".rmlock of an ended process")
        << QByteArray() << QByteArray("%1\n/usr/bin/x\n") << deadPid() << QString();
    QTest::newRow(".rmlock of a running program taking the lock over")
        << QByteArray() << "%1\n" + processExecutable(running) + '\n'
        << running << "taking a lock file of the port over";
    // Left by a run killed in its open, its PID since taken by another program.
    QTest::newRow(".rmlock naming another program than runs under its PID")
        << QByteArray() << QByteArray("%1\n/usr/bin/no-such-program\n") << running << QString();
}

void SerialPortTest::lockTakenBetweenCheckAndOpen()
{
    QFETCH(QByteArray, rival);
    QFETCH(QByteArray, rmlock);
    QFETCH(qint32, pid);
    QFETCH(QString, reason);
    PtyDevice device;
    QVERIFY(device.isValid());
    const QByteArray lockPath =
        QFile::encodeName("/var/lock/LCK.." + device.slavePath().mid(5).replace('/', '_'));
    const QByteArray rmlockPath = lockPath + ".rmlock";
    const auto removeLocks = qScopeGuard([&] {
        unlink(lockPath.constData());
        unlink(rmlockPath.constData());
    });
    const auto withPid = [pid](QByteArray bytes) {
        return bytes.replace("%1", QByteArray::number(pid).rightJustified(10));
    };
    if (!rmlock.isNull()) {
        QFile file(QFile::decodeName(rmlockPath));
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            QSKIP("cannot write a lock file in /var/lock");
        file.write(withPid(rmlock));
    }
    struct stat rivals = {};
    SerialPort port;
    port.setBeforeOpen([&] {
        if (rival.isNull())
            return;
        // As lockdev does: created only if nobody has the path, then written.
        const int fd = open(lockPath.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY2(fd >= 0, "the lock path is free in the moment of the open");
        const QByteArray bytes = withPid(rival);
        QCOMPARE(write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
        fstat(fd, &rivals);
        close(fd);
    });
    const bool opened = port.openPort(device.slavePath());
    QCOMPARE(opened, reason.isEmpty());
    QCOMPARE(port.isPortOpen(), reason.isEmpty());
    if (!reason.isEmpty())
        QVERIFY2(port.errorText().contains(reason), qPrintable(port.errorText()));
    if (!rival.isNull()) {
        // The other program's lock file stays, as it wrote it.
        struct stat there = {};
        QVERIFY2(lstat(lockPath.constData(), &there) == 0 && there.st_ino == rivals.st_ino,
                 "the other program's lock file is left in place");
        QFile file(QFile::decodeName(lockPath));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), withPid(rival));
    }
    if (opened) {
        QVERIFY(port.sendData("ATCD\r\n"));
        QCOMPARE(device.read(6, 1000), QByteArray("ATCD\r\n"));
    } else {
        QVERIFY(!port.sendData("ATCD\r\n"));
        QCOMPARE(device.read(1, 100), QByteArray());
    }
    // The .rmlock is the other program's while it runs it, and ours only for the open.
    QCOMPARE(access(rmlockPath.constData(), F_OK) == 0, !rmlock.isNull() && !reason.isEmpty());
}

void SerialPortTest::unwritableLockFolder_data()
{
    // How the lock folder is: "read-only", "missing", or "root's" (0755, the tool run as
    // nobody).
    QTest::addColumn<QString>("folder");
    // What another program has put where Qt Serial Port would fall back to: "fifo" at
    // /tmp/LCK..pts_N, "lock" (a running process's lock file there), or nothing.
    QTest::addColumn<QString>("atFallback");
    // A lock file of a running process in the lock folder itself.
    QTest::addColumn<bool>("lockedInFolder");
    QTest::newRow("read-only, a FIFO at the fallback") << "read-only"
                                                       << "fifo" << false;
    QTest::newRow("read-only, a lock file at the fallback") << "read-only"
                                                            << "lock" << false;
    QTest::newRow("read-only, held by a lock file in it") << "read-only"
                                                          << "" << true;
    QTest::newRow("missing, a FIFO at the fallback") << "missing"
                                                     << "fifo" << false;
    QTest::newRow("root's, a FIFO at the fallback") << "root's"
                                                    << "fifo" << false;
    QTest::newRow("root's, held by a lock file in it") << "root's"
                                                       << "" << true;
}

void SerialPortTest::unwritableLockFolder()
{
    QFETCH(QString, folder);
    QFETCH(QString, atFallback);
    QFETCH(bool, lockedInFolder);
    if (!privateMounts())
        QSKIP("needs root and a mount namespace of its own");
    PtyDevice device;
    QVERIFY(device.isValid());
    const QByteArray name =
        "LCK.." + QFile::encodeName(device.slavePath().mid(5)).replace('/', '_');
    const QByteArray fallback = "/tmp/" + name;
    const QByteArray running = QByteArray::number(getppid()).rightJustified(10) + '\n';

    QList<QByteArray> mounted;
    const auto unmount = qScopeGuard([&] {
        for (auto it = mounted.crbegin(); it != mounted.crend(); ++it)
            umount2(it->constData(), MNT_DETACH);
    });
    const auto mountTmpfs = [&](const char *where, const char *options) {
        const bool done = mount("tmpfs", where, "tmpfs", 0, options) == 0;
        if (done)
            mounted.append(where);
        return done;
    };
    QVERIFY(mountTmpfs("/tmp", "mode=1777"));
    if (folder == "missing") {
        QVERIFY(mountTmpfs("/run", "mode=0755"));
    } else {
        QVERIFY(mountTmpfs("/run/lock", folder == "root's" ? "mode=0755" : "mode=1777"));
        if (lockedInFolder) {
            QFile lock(QFile::decodeName("/run/lock/" + name));
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write(running);
        }
        if (folder == "read-only")
            QCOMPARE(mount(nullptr, "/run/lock", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    }
    if (atFallback == "fifo")
        QCOMPARE(mkfifo(fallback.constData(), 0666), 0);
    if (atFallback == "lock") {
        QFile lock(QFile::decodeName(fallback));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(running);
    }
    const QStringList tmpBefore = QDir("/tmp").entryList(QDir::AllEntries | QDir::System);

    SerialPort port;
    // A FIFO that Qt Serial Port opened would hang the open for ever.
    alarm(10);
    const bool opened =
        folder == "root's" ? openAs(65534, port, device) : port.openPort(device.slavePath());
    alarm(0);
    QCOMPARE(opened, !lockedInFolder);
    // Nothing put at the fallback or taken from it.
    QCOMPARE(QDir("/tmp").entryList(QDir::AllEntries | QDir::System), tmpBefore);
    struct stat st = {};
    QCOMPARE(atFallback == "fifo", lstat(fallback.constData(), &st) == 0 && S_ISFIFO(st.st_mode));
    if (lockedInFolder) {
        QVERIFY2(port.errorText().contains("held by process"), qPrintable(port.errorText()));
        QVERIFY(!port.sendData("ATCD\r\n"));
        return;
    }

    // Held as Qt Serial Port holds a line: exclusive mode and our exclusive flock.
    const int other =
        open(QFile::encodeName(device.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(other >= 0);
    const auto closeOther = qScopeGuard([other] { close(other); });
    int exclusive = 0;
    if (ioctl(other, TIOCGEXCL, &exclusive) == 0)
        QCOMPARE(exclusive, 1);
    QCOMPARE(flock(other, LOCK_EX | LOCK_NB), -1);
    termios tio = {};
    QCOMPARE(tcgetattr(device.master(), &tio), 0);
    QCOMPARE(cfgetispeed(&tio), speed_t(B19200));
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tio.c_lflag & (ICANON | ECHO), tcflag_t(0));

    // The exchange runs over it as over Qt Serial Port's line.
    QSignalSpy bursts(&port, &SerialPort::readComm);
    QVERIFY(port.sendData("ATCD\r\n"));
    QCOMPARE(device.read(6, 1000), QByteArray("ATCD\r\n"));
    QVERIFY(device.write("12.5\r\n"));
    QVERIFY(bursts.wait(1000));
    QCOMPARE(bufferBytes(port), QByteArray("12.5\r\n"));

    // Closed: the tty's own settings and mode are back, and the flock is gone.
    port.closePort();
    QCOMPARE(ioctl(other, TIOCGEXCL, &exclusive) == 0 && exclusive, false);
    QCOMPARE(flock(other, LOCK_EX | LOCK_NB), 0);
    flock(other, LOCK_UN);
    QCOMPARE(tcgetattr(device.master(), &tio), 0);
    QVERIFY(tio.c_lflag & ICANON);

    // A line that goes away ends the wait at once.
    QVERIFY(folder == "root's" ? openAs(65534, port, device) : port.openPort(device.slavePath()));
    QSignalSpy gone(&port, &SerialPort::deviceGone);
    device.hangUp();
    QVERIFY(gone.wait(1000));
}

void SerialPortTest::lockFileName_data()
{
    QTest::addColumn<QString>("tty");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("ACM tty") << "/dev/ttyACM0" << QByteArray("LCK..ttyACM0");
    QTest::newRow("pseudo-terminal: the slash below /dev")
        << "/dev/pts/3" << QByteArray("LCK..pts_3");
    QTest::newRow("deeper below /dev")
        << "/dev/serial/by-id/usb-x" << QByteArray("LCK..serial_by-id_usb-x");
    QTest::newRow("not below /dev: every slash") << "/tmp/tty" << QByteArray("LCK.._tmp_tty");
    QTest::newRow("relative name") << "ttyS0" << QByteArray("LCK..ttyS0");
    QTest::newRow("/dev inside the path is kept") << "/x/dev/tty" << QByteArray("LCK.._x_dev_tty");
}

void SerialPortTest::lockFileName()
{
    QFETCH(QString, tty);
    QFETCH(QByteArray, name);
    QCOMPARE(::lockFileName(tty), name);
}

void SerialPortTest::lockFilePid_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint32>("pid");
    // The program that QLockFile's form names on its second line.
    QTest::addColumn<QByteArray>("program");
    const auto binary = [](qint32 pid) {
        return QByteArray(reinterpret_cast<const char *>(&pid), sizeof pid);
    };
    QTest::newRow("HDB form") << QByteArray("      4711\n") << 4711 << QByteArray();
    QTest::newRow("Qt's form: the first line")
        << QByteArray("4711\nmorvek\nhost\n") << 4711 << QByteArray("morvek");
    QTest::newRow("no line end") << QByteArray("4711") << 4711 << QByteArray();
    QTest::newRow("spaces around") << QByteArray("  42  \nx") << 42 << QByteArray();
    QTest::newRow("binary form") << binary(4711) << 4711 << QByteArray();
    QTest::newRow("binary form of a negative number") << binary(-5) << 0 << QByteArray();
    // Four bytes that read as digits are the text form.
    QTest::newRow("four digits are text, not binary") << QByteArray("1234") << 1234 << QByteArray();
    QTest::newRow("zero") << QByteArray("         0\n") << 0 << QByteArray();
    QTest::newRow("negative text") << QByteArray("-5\n") << 0 << QByteArray();
    QTest::newRow("more than ten digits") << QByteArray("12345678901\n") << 0 << QByteArray();
    QTest::newRow("beyond a pid") << QByteArray("2147483648\n") << 0 << QByteArray();
    QTest::newRow("eleven digits, though a small number")
        << QByteArray("00000004711\n") << 0 << QByteArray();
    QTest::newRow("largest pid") << QByteArray("2147483647\n") << 2147483647 << QByteArray();
    QTest::newRow("minicom's form: a name and a user after it")
        << QByteArray("      4711 minicom alice\n") << 4711 << QByteArray();
    QTest::newRow("lockdev's form, a tab after the number")
        << QByteArray("4711\tcu root\n") << 4711 << QByteArray();
    QTest::newRow("a word run into the number")
        << QByteArray("4711x minicom\n") << 0 << QByteArray();
    QTest::newRow("a name, then the number") << QByteArray("minicom 4711\n") << 0 << QByteArray();
    QTest::newRow("eleven digits, then a name")
        << QByteArray("12345678901 minicom\n") << 0 << QByteArray();
    QTest::newRow("empty first line") << QByteArray("\n4711\n") << 0 << QByteArray();
    QTest::newRow("garbled") << QByteArray("garbled\n") << 0 << QByteArray();
    QTest::newRow("empty") << QByteArray() << 0 << QByteArray();
    QTest::newRow("Qt's form: the last part of a path")
        << QByteArray("42\n/usr/bin/morvek\n") << 42 << QByteArray("morvek");
    // Cut off by the 64-byte read: a part of a name could match another program.
    QTest::newRow("Qt's form: a program line not ended")
        << QByteArray("42\n/usr/bin/mor") << 42 << QByteArray();
    QTest::newRow("Qt's form with no program") << QByteArray("42\n\nhost\n") << 42 << QByteArray();
    QTest::newRow("minicom's form names no second line")
        << QByteArray("      4711 minicom alice\nmorvek\n") << 4711 << QByteArray();
    QTest::newRow("no PID before the program") << QByteArray("\nmorvek\n") << 0 << QByteArray();
}

void SerialPortTest::lockFilePid()
{
    QFETCH(QByteArray, content);
    QFETCH(qint32, pid);
    QFETCH(QByteArray, program);
    QCOMPARE(qint32(::lockFilePid(content)), pid);
    QCOMPARE(::lockFileProgram(content), program);
}

void SerialPortTest::runsLockFileProgram_data()
{
    QTest::addColumn<QByteArray>("program");
    QTest::addColumn<QByteArray>("exe");
    QTest::addColumn<QByteArray>("comm");
    QTest::addColumn<bool>("runs");
    QTest::newRow("no program named")
        << QByteArray() << QByteArray("/usr/bin/sleep") << QByteArray("sleep") << true;
    QTest::newRow("the same program")
        << QByteArray("morvek") << QByteArray("/usr/bin/morvek") << QByteArray("morvek") << true;
    QTest::newRow("PID reused by another program")
        << QByteArray("morvek") << QByteArray("/usr/bin/sleep") << QByteArray("sleep") << false;
    // QLockFile compares the exe's name; a link's name in comm does not count then.
    QTest::newRow("the exe decides over comm")
        << QByteArray("morvek") << QByteArray("/opt/x/morvek") << QByteArray("mv") << true;
    QTest::newRow("replaced on disk while it runs")
        << QByteArray("morvek") << QByteArray("/usr/bin/morvek (deleted)") << QByteArray("morvek")
        << true;
    QTest::newRow("a name that only starts the same")
        << QByteArray("morvek") << QByteArray("/usr/bin/morvek2") << QByteArray() << false;
    // Another user's process: its exe cannot be read, its comm can.
    QTest::newRow("another user's process, the same program")
        << QByteArray("morvek") << QByteArray() << QByteArray("morvek") << true;
    QTest::newRow("another user's process, another program")
        << QByteArray("morvek") << QByteArray() << QByteArray("bash") << false;
    QTest::newRow("comm keeps 15 bytes of a longer name")
        << QByteArray("morvek-with-a-long-name") << QByteArray() << QByteArray("morvek-with-a-l")
        << true;
    // /proc mounted with hidepid: nothing can be read, so it cannot be told apart.
    QTest::newRow("hidden process") << QByteArray("morvek") << QByteArray() << QByteArray() << true;
}

void SerialPortTest::runsLockFileProgram()
{
    QFETCH(QByteArray, program);
    QFETCH(QByteArray, exe);
    QFETCH(QByteArray, comm);
    QFETCH(bool, runs);
    QCOMPARE(::runsLockFileProgram(program, exe, comm), runs);
}

void SerialPortTest::lockFileForms_data()
{
    QTest::addColumn<bool>("qtForm");
    QTest::addColumn<qint32>("pid");
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("HDB: ten wide") << false << 4711 << QByteArray("      4711\n");
    QTest::newRow("HDB: ten digits") << false << 1234567890 << QByteArray("1234567890\n");
    QTest::newRow("Qt: the program on the second line")
        << true << 42 << QByteArray("42\n/usr/bin/morvek\n");
}

void SerialPortTest::lockFileForms()
{
    QFETCH(bool, qtForm);
    QFETCH(qint32, pid);
    QFETCH(QByteArray, content);
    const QByteArray written = qtForm ? qtLockContent(pid, "/usr/bin/morvek") : hdbLockContent(pid);
    QCOMPARE(written, content);
    // What this program writes, it reads back as the same process.
    QCOMPARE(qint32(::lockFilePid(written)), pid);
}

void SerialPortTest::garbledLockHolds_data()
{
    QTest::addColumn<int>("ageS");
    QTest::addColumn<bool>("holds");
    QTest::newRow("new") << 0 << true;
    QTest::newRow("30 s") << 30 << true;
    QTest::newRow("31 s") << 31 << false;
    QTest::newRow("30 s ahead (clock set back)") << -30 << true;
    QTest::newRow("31 s ahead") << -31 << false;
}

void SerialPortTest::garbledLockHolds()
{
    QFETCH(int, ageS);
    QFETCH(bool, holds);
    const time_t now = 1700000000;
    QCOMPARE(::garbledLockHolds(now - ageS, now), holds);
}

void SerialPortTest::mayRemoveLockFile_data()
{
    QTest::addColumn<uid_t>("user");
    QTest::addColumn<uid_t>("fileOwner");
    QTest::addColumn<bool>("writable");
    QTest::addColumn<bool>("sticky");
    QTest::addColumn<uid_t>("directoryOwner");
    QTest::addColumn<bool>("may");
    QTest::newRow("root, whatever the directory") << 0u << 7u << false << true << 7u << true;
    QTest::newRow("directory not writable") << 5u << 5u << false << false << 5u << false;
    QTest::newRow("not sticky: another's file") << 5u << 7u << true << false << 0u << true;
    QTest::newRow("sticky: one's own file") << 5u << 5u << true << true << 0u << true;
    QTest::newRow("sticky: the directory's owner") << 5u << 7u << true << true << 5u << true;
    QTest::newRow("sticky: another's file") << 5u << 7u << true << true << 0u << false;
}

void SerialPortTest::mayRemoveLockFile()
{
    QFETCH(uid_t, user);
    QFETCH(uid_t, fileOwner);
    QFETCH(bool, writable);
    QFETCH(bool, sticky);
    QFETCH(uid_t, directoryOwner);
    QFETCH(bool, may);
    QCOMPARE(::mayRemoveLockFile(user, fileOwner, {writable, sticky, directoryOwner}), may);
}

void SerialPortTest::lockListFileId_data()
{
    QTest::addColumn<uint>("deviceMajor");
    QTest::addColumn<uint>("deviceMinor");
    QTest::addColumn<qulonglong>("inode");
    QTest::addColumn<QByteArray>("id");
    QTest::newRow("two hex digits each") << 0u << 5u << 1027ull << QByteArray("00:05:1027");
    QTest::newRow("hex, as wide as it takes") << 259u << 17u << 3ull << QByteArray("103:11:3");
    QTest::newRow("large inode, in decimal")
        << 8u << 1u << 4294967296ull << QByteArray("08:01:4294967296");
}

void SerialPortTest::lockListFileId()
{
    QFETCH(uint, deviceMajor);
    QFETCH(uint, deviceMinor);
    QFETCH(qulonglong, inode);
    QFETCH(QByteArray, id);
    QCOMPARE(::lockListFileId(makedev(deviceMajor, deviceMinor), ino_t(inode)), id);
}

void SerialPortTest::flockHolder_data()
{
    QTest::addColumn<QByteArray>("locks");
    QTest::addColumn<qint32>("pid");
    QTest::newRow("exclusive flock")
        << QByteArray("1: FLOCK  ADVISORY  WRITE 1234 00:05:1027 0 EOF\n") << 1234;
    QTest::newRow("among others") << QByteArray("1: POSIX  ADVISORY  WRITE 11 00:05:1027 0 EOF\n"
                                                "2: FLOCK  ADVISORY  WRITE 22 00:05:999 0 EOF\n"
                                                "3: FLOCK  ADVISORY  WRITE 33 00:05:1027 0 EOF\n")
                                  << 33;
    QTest::newRow("a waiter is no holder")
        << QByteArray("1: -> FLOCK  ADVISORY  WRITE 44 00:05:1027 0 EOF\n") << 0;
    QTest::newRow("a shared flock")
        << QByteArray("1: FLOCK  ADVISORY  READ 55 00:05:1027 0 EOF\n") << 0;
    QTest::newRow("another device's inode")
        << QByteArray("1: FLOCK  ADVISORY  WRITE 66 00:06:1027 0 EOF\n") << 0;
    QTest::newRow("a longer inode")
        << QByteArray("1: FLOCK  ADVISORY  WRITE 77 00:05:10270 0 EOF\n") << 0;
    QTest::newRow("no locks") << QByteArray() << 0;
}

void SerialPortTest::flockHolder()
{
    QFETCH(QByteArray, locks);
    QFETCH(qint32, pid);
    QCOMPARE(qint32(flockHolderIn(locks, ::lockListFileId(makedev(0, 5), 1027))), pid);
}

QTEST_GUILESS_MAIN(SerialPortTest)
#include "tst_serialport.moc"
