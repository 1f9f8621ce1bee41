// SPDX-License-Identifier: MIT
#include "app/devicechoice.h"
#include "app/escaping.h"
#include "app/exitstatus.h"
#include "app/ignoredarguments.h"
#include "app/readingrules.h"
#include "app/trace.h"
#include "ptydevice.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const QByteArray command("ATCD\r\n");

// One run of the controller in its own process: it ends that process, so it cannot run
// inside this one. Started with fork and exec rather than QProcess: under qemu-user
// (Debian 12's 7.2) Qt 5.15's QProcess trusts a pidfd probe that the emulator passes but
// then fails to clone, and carries on with pid -1, so that its kill() would signal every
// process there is.
class ControllerRun
{
public:
    // fail: the run ends without a reading with the status of why (--fail). options: more
    // of the program's options. output: the standard output to give the run, in place of a
    // pipe that this object reads.
    explicit ControllerRun(const QStringList &devices, bool fail = false,
                           const QStringList &options = {}, int output = -1)
    {
        QList<QByteArray> args;
#ifdef CONTROLLER_HARNESS_EMULATOR
        args << CONTROLLER_HARNESS_EMULATOR;
#endif
        args << CONTROLLER_HARNESS;
        if (fail)
            args << "--fail";
        for (const QString &option : options)
            args << option.toUtf8();
        for (const QString &device : devices)
            args << QFile::encodeName(device);
        std::vector<char *> argv;
        for (QByteArray &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);

        int out[2] = {-1, -1};
        if (output < 0 && pipe2(out, O_CLOEXEC) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(output < 0 ? out[1] : output, STDOUT_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (output < 0)
            close(out[1]);
        outFd = out[0];
        clock.start();
    }
    ~ControllerRun()
    {
        if (pid > 0 && !ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        if (outFd >= 0)
            close(outFd);
    }
    // Bounded: a run that does not end within the limit fails the test.
    bool finish(int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (pid > 0 && !ended) {
            pollfd readable = {outFd, POLLIN, 0};
            if (outFd < 0)
                usleep(5000);
            else if (poll(&readable, 1, 5) > 0)
                readOutput();
            const pid_t waited = waitpid(pid, &status, WNOHANG);
            ended = waited == pid;
            if (waited < 0 || (!ended && deadline.hasExpired()))
                break;
        }
        readOutput();
        elapsedMs = clock.elapsed();
        return ended && WIFEXITED(status);
    }
    QByteArray output() const
    {
        return stdoutBytes;
    }
    // CPU time of all ended child processes of the test so far, in milliseconds.
    static qint64 childrenCpuMs()
    {
        rusage usage = {};
        getrusage(RUSAGE_CHILDREN, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
    }
    int exitCode() const
    {
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // The signal that ended the run; 0 when none did.
    int endSignal() const
    {
        return ended && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    void sendSignal(int signalNumber)
    {
        kill(pid, signalNumber);
    }
    // The reader of standard output goes away.
    void closeOutput()
    {
        close(outFd);
        outFd = -1;
    }
    qint64 elapsedMs = 0;

private:
    // Takes what the run has written so far; at its end of file the pipe is closed, so that
    // the wait above sleeps rather than polls a hung-up pipe.
    void readOutput()
    {
        char buffer[4096];
        pollfd readable = {outFd, POLLIN, 0};
        while (outFd >= 0 && poll(&readable, 1, 0) > 0) {
            const ssize_t n = read(outFd, buffer, sizeof buffer);
            if (n > 0) {
                stdoutBytes.append(buffer, int(n));
                continue;
            }
            if (n == 0) {
                close(outFd);
                outFd = -1;
            }
            break;
        }
    }

    pid_t pid = -1;
    int outFd = -1;
    int status = 0;
    bool ended = false;
    QByteArray stdoutBytes;
    QElapsedTimer clock;
};

// The value at a JSON pointer such as /devices/0/outcome.
QJsonValue pointed(QJsonValue value, const QString &pointer)
{
    for (const QString &key : pointer.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        bool isIndex = false;
        const int index = key.toInt(&isIndex);
        value =
            value.isArray() && isIndex ? value.toArray().at(index) : value.toObject().value(key);
    }
    return value;
}

QString lockOf(const PtyDevice &device)
{
    return "/var/lock/LCK.." + device.slavePath().mid(5).replace('/', '_');
}

} // namespace

class MorvekTest : public QObject
{
    Q_OBJECT

private slots:
    void replyFilter_data();
    void replyFilter();
    void firstField_data();
    void firstField();
    void queryOrder_data();
    void queryOrder();
    void traceEscaping_data();
    void traceEscaping();
    void textEscaping_data();
    void textEscaping();
    void traceWritesOnceStarted_data();
    void traceWritesOnceStarted();
    void ignoredArguments_data();
    void ignoredArguments();
    void chooseByNumber_data();
    void chooseByNumber();
    void singleDevice_data();
    void singleDevice();
    void twoDevices_data();
    void twoDevices();
    void secondBurstFromFirstDeviceRequeries();
    void portThatCannotBeOpened_data();
    void portThatCannotBeOpened();
    void silentDevice_data();
    void silentDevice();
    void deviceGone_data();
    void deviceGone();
    void endedBySignal_data();
    void endedBySignal();
    void integratorOptions_data();
    void integratorOptions();
    void stalledReader_data();
    void stalledReader();
};

void MorvekTest::replyFilter_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("kept");
    QTest::newRow("echo and line ends") << QByteArray("ATCD\r\n12.5,3\r\n") << QByteArray("12.5,3");
    QTest::newRow("letters inside the value") << QByteArray("1A2C3D4T5") << QByteArray("12345");
    QTest::newRow("lower case survives") << QByteArray("atcd") << QByteArray("atcd");
    QTest::newRow("NUL and space") << QByteArray("1\0 2", 4) << QByteArray("12");
    QTest::newRow("other letters and high bytes")
        << QByteArray("BEZ\xff\x80\x01") << QByteArray("BEZ\xff\x80\x01");
    QTest::newRow("only filtered bytes") << QByteArray("\r\n \0ACDT", 9) << QByteArray("");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void MorvekTest::replyFilter()
{
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, kept);
    QCOMPARE(::filterReply(raw), kept);
}

void MorvekTest::firstField_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("field");
    QTest::newRow("two fields") << "12.5,3"
                                << "12.5";
    QTest::newRow("no comma") << "12.5"
                              << "12.5";
    QTest::newRow("leading comma") << ",3"
                                   << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("many fields") << "1,2,3,"
                                 << "1";
}

void MorvekTest::firstField()
{
    QFETCH(QString, reply);
    QFETCH(QString, field);
    QCOMPARE(::firstField(reply), field);
}

void MorvekTest::queryOrder_data()
{
    QTest::addColumn<QString>("firstId");
    QTest::addColumn<QString>("secondId");
    QTest::addColumn<bool>("secondFirst");
    QTest::newRow("smaller second") << "2"
                                    << "1" << true;
    QTest::newRow("larger second") << "1"
                                   << "2" << false;
    QTest::newRow("equal numbers keep the listed order") << "4"
                                                         << "4" << false;
    QTest::newRow("compared as integers, not as text") << "10"
                                                       << "9" << true;
    QTest::newRow("both non-numeric count as 0") << "x"
                                                 << "y" << false;
    QTest::newRow("a non-numeric second counts as 0") << "1"
                                                      << "x" << true;
    QTest::newRow("negative number") << "0"
                                     << "-3" << true;
    QTest::newRow("hexadecimal is not a number") << "1"
                                                 << "0x10" << true;
    QTest::newRow("beyond an int counts as 0") << "1"
                                               << "2147483648" << true;
    QTest::newRow("the largest int is a number") << "1"
                                                 << "2147483647" << false;
    // A first device without a number text stays first, even before a negative number.
    QTest::newRow("first without a number text") << ""
                                                 << "-1" << false;
}

void MorvekTest::queryOrder()
{
    QFETCH(QString, firstId);
    QFETCH(QString, secondId);
    QFETCH(bool, secondFirst);
    QCOMPARE(queriedFirst(DeviceEntry{"COM2", secondId}, DeviceEntry{"COM1", firstId}),
             secondFirst);
}

void MorvekTest::traceEscaping_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("printable") << QByteArray("12.5,3 a~") << "12.5,3 a~";
    QTest::newRow("line ends, tab, backslash") << QByteArray("\r\n\t\\") << "\\r\\n\\t\\\\";
    QTest::newRow("control and high bytes")
        << QByteArray("\x00\x1a\x7f\x80\xff", 5) << "\\x00\\x1a\\x7f\\x80\\xff";
}

void MorvekTest::traceEscaping()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(escapedBytes(bytes), text);
}

void MorvekTest::textEscaping_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("escaped");
    QTest::newRow("tab, line feed, escape sequence") << "1\t2\n3\x1b[31m"
                                                     << "1\\t2\\n3\\x1b[31m";
    QTest::newRow("backslash") << "a\\x41"
                               << "a\\\\x41";
    QTest::newRow("C1 control (CSI)") << QString(QChar(0x9b)) + "2J"
                                      << "\\x9b2J";
    QTest::newRow("line separator, right-to-left override")
        << QString(QChar(0x2028)) + QChar(0x202e) << "\\u{2028}\\u{202e}";
    QTest::newRow("lone surrogate") << QString(QChar(0xd800)) << "\\u{d800}";
    const QString letters = QString::fromUtf8("\xc2\xb5\xc3\xa9 \xf0\x9f\x94\x8c");
    QTest::newRow("letters beyond ASCII kept") << letters << letters;
    QTest::newRow("path: the device namespace prefix kept") << "\\\\.\\COM5\\x\t"
                                                            << "\\\\.\\COM5\\\\x\\t";
    QTest::newRow("path: the prefix elsewhere escaped") << "x\\\\.\\"
                                                        << "x\\\\\\\\.\\\\";
}

void MorvekTest::textEscaping()
{
    QFETCH(QString, text);
    QFETCH(QString, escaped);
    const bool path = QByteArray(QTest::currentDataTag()).startsWith("path");
    QCOMPARE(path ? escapedPath(text) : escapedText(text), escaped);
}

void MorvekTest::traceWritesOnceStarted_data()
{
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("fromQt");
    // What standard error gets, without the times.
    QTest::addColumn<QString>("written");
    QTest::newRow("off: an event") << false << false << "";
    QTest::newRow("off: a warning of Qt's") << false << true << "";
    QTest::newRow("on: an event") << true << false << "end: no device\n";
    QTest::newRow("on: a warning of Qt's, escaped") << true << true << "Qt: a\\tb\n";
}

void MorvekTest::traceWritesOnceStarted()
{
    QFETCH(bool, started);
    QFETCH(bool, fromQt);
    QFETCH(QString, written);
    // Standard error into a file for the row; Qt's messages back to the test's own handler
    // after it, which the trace replaces.
    QTemporaryFile file;
    QVERIFY(file.open());
    const int savedError = dup(STDERR_FILENO);
    QVERIFY(dup2(file.handle(), STDERR_FILENO) == STDERR_FILENO);
    const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
    {
        Trace trace;
        if (started)
            trace.start();
        if (fromQt)
            qWarning("a\tb");
        else
            trace.noDevice();
    }
    qInstallMessageHandler(testHandler);
    dup2(savedError, STDERR_FILENO);
    close(savedError);
    QVERIFY(file.seek(0));
    QString lines = QString::fromUtf8(file.readAll());
    lines.remove(
        QRegularExpression(QStringLiteral("^ *\\d+ ms  "), QRegularExpression::MultilineOption));
    QCOMPARE(lines, written);
}

void MorvekTest::ignoredArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("ignored");
    QTest::addColumn<QStringList>("used");
    QTest::addColumn<QStringList>("words");
    QTest::newRow("options used") << QStringList{"-v", "--list", "--verbose"} << QStringList{}
                                  << QStringList{"-v", "--list", "--verbose"} << QStringList{};
    // One dash or two name the same option; -version is not -v and more.
    QTest::newRow("a long option with one dash")
        << QStringList{"-version", "-list"} << QStringList{} << QStringList{"-version", "-list"}
        << QStringList{};
    QTest::newRow("short options are not bundled")
        << QStringList{"-vh"} << QStringList{"-vh"} << QStringList{} << QStringList{};
    QTest::newRow("a typo and a word")
        << QStringList{"--lsit", "-v", "extra"} << QStringList{"--lsit", "extra"}
        << QStringList{"-v"} << QStringList{"extra"};
    // Ignored, and so without effect: what the trace lists as ignored does nothing.
    QTest::newRow("value for an option that takes none")
        << QStringList{"--list=1", "--verbose=0"} << QStringList{"--list=1", "--verbose=0"}
        << QStringList{} << QStringList{};
    QTest::newRow("everything after --")
        << QStringList{"-v", "--", "--list", "--"} << QStringList{"--list", "--"}
        << QStringList{"-v"} << QStringList{"--list", "--"};
    QTest::newRow("empty argument")
        << QStringList{""} << QStringList{""} << QStringList{} << QStringList{""};
    QTest::newRow("a value option takes the next argument, whatever it is")
        << QStringList{"--wait", "--list", "-number=3", "x"} << QStringList{"x"}
        << QStringList{"--wait", "--list", "-number=3"} << QStringList{"x"};
    // Left for the parser, which then says that the value is missing.
    QTest::newRow("a value option at the end") << QStringList{"-v", "--number"} << QStringList{}
                                               << QStringList{"-v", "--number"} << QStringList{};
}

void MorvekTest::ignoredArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, ignored);
    QFETCH(QStringList, used);
    QFETCH(QStringList, words);
    const QList<QCommandLineOption> options{
        QCommandLineOption(QStringList{"v", "verbose"}), QCommandLineOption("list"),
        QCommandLineOption(QStringList{"h", "help"}),    QCommandLineOption("version"),
        QCommandLineOption("number", "", "N"),           QCommandLineOption("wait", "", "SECONDS")};
    const ArgumentSplit split = splitArguments(options, arguments);
    QCOMPARE(split.ignored, ignored);
    QCOMPARE(split.used, used);
    QCOMPARE(split.words, words);
}

void MorvekTest::chooseByNumber_data()
{
    QTest::addColumn<QStringList>("found");
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<QStringList>("chosen");
    QTest::addColumn<QStringList>("missing");
    QTest::addColumn<QStringList>("sharing");
    const QStringList none;
    QTest::newRow("no number: the first two, as found")
        << QStringList{"3", "1", "2"} << none << QStringList{"3", "1"} << none << none;
    QTest::newRow("beyond the first two")
        << QStringList{"3", "1", "2"} << QStringList{"2"} << QStringList{"2"} << none << none;
    QTest::newRow("in the order asked") << QStringList{"1", "2", "3"} << QStringList{"3", "1"}
                                        << QStringList{"3", "1"} << none << none;
    QTest::newRow("leading zeros on either side")
        << QStringList{"03", "x", "000"} << QStringList{"3", "0"} << QStringList{"03", "000"}
        << none << none;
    QTest::newRow("longer than any integer")
        << QStringList{"0123456789012345678901"} << QStringList{"123456789012345678901"}
        << QStringList{"0123456789012345678901"} << none << none;
    // Not all digits: only the plain run's order reads such a number (as 0 or its digits).
    QTest::newRow("not a number text") << QStringList{"3a", " 3", "+3", "", "beta"}
                                       << QStringList{"3"} << none << QStringList{"3"} << none;
    QTest::newRow("one of two missing") << QStringList{"1", "2"} << QStringList{"2", "5"}
                                        << QStringList{"2"} << QStringList{"5"} << none;
    QTest::newRow("a number two devices have")
        << QStringList{"1", "2", "01"} << QStringList{"2", "1"} << QStringList{"2"} << none
        << QStringList{"1", "01"};
}

void MorvekTest::chooseByNumber()
{
    QFETCH(QStringList, found);
    QFETCH(QStringList, asked);
    QFETCH(QStringList, chosen);
    QFETCH(QStringList, missing);
    QFETCH(QStringList, sharing);
    QList<DiscoveredDevice> devices;
    for (const QString &number : found)
        devices << DiscoveredDevice{DeviceEntry{"COM" + number, number}, IdentitySource::Product};
    const auto numbers = [](const QList<DiscoveredDevice> &list) {
        QStringList texts;
        for (const DiscoveredDevice &device : list)
            texts << device.entry.deviceId;
        return texts;
    };
    const DeviceChoice choice = chooseDevices(devices, asked);
    QCOMPARE(numbers(choice.chosen), chosen);
    QCOMPARE(choice.missing, missing);
    QCOMPARE(numbers(choice.sharing), sharing);
    QCOMPARE(choice.inOrderAsked, !asked.isEmpty());
    QCOMPARE(choice.complete(), !chosen.isEmpty() && missing.isEmpty() && sharing.isEmpty());
}

void MorvekTest::singleDevice_data()
{
    QTest::addColumn<QList<QByteArray>>("bursts");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("fail");
    QTest::newRow("echoed reply") << QList<QByteArray>{"ATCD\r\n12.5,3\r\n"} << QByteArray("12.5,3")
                                  << false;
    QTest::newRow("reply without comma")
        << QList<QByteArray>{"42\r\n"} << QByteArray("42") << false;
    QTest::newRow("reply that filters to nothing")
        << QList<QByteArray>{"ATCD\r\n"} << QByteArray("") << false;
    QTest::newRow("only the first burst counts")
        << QList<QByteArray>{"12.", "5,3\r\n"} << QByteArray("12.") << false;
    QTest::newRow("newline inside is dropped, comma kept")
        << QList<QByteArray>{"1,\r\n2,\r\n"} << QByteArray("1,2,") << false;
    // The device answered: an empty reading is still a reading.
    QTest::newRow("--fail: a reply that filters to nothing gives 0")
        << QList<QByteArray>{"ATCD\r\n"} << QByteArray("") << true;
}

void MorvekTest::singleDevice()
{
    QFETCH(QList<QByteArray>, bursts);
    QFETCH(QByteArray, expected);
    QFETCH(bool, fail);
    PtyDevice device;
    QVERIFY(device.isValid());
    ControllerRun run({device.slavePath(), "1"}, fail);
    QCOMPARE(device.read(command.size(), 3000), command);
    for (const QByteArray &burst : bursts) {
        QVERIFY(device.write(burst));
        QTest::qWait(100);
    }
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.output(), expected);
}

void MorvekTest::twoDevices_data()
{
    QTest::addColumn<QString>("idA");
    QTest::addColumn<QString>("idB");
    QTest::addColumn<QByteArray>("replyA");
    QTest::addColumn<QByteArray>("replyB");
    QTest::addColumn<bool>("aFirst");
    QTest::addColumn<QByteArray>("expected");
    // Device A is listed first, device B second.
    QTest::newRow("listed in order")
        << "1"
        << "2" << QByteArray("ATCD\r\n12.5,3\r\n") << QByteArray("ATCD\r\n7.25,1\r\n") << true
        << QByteArray("12.5,7.25");
    QTest::newRow("listed 2 then 1") << "2"
                                     << "1" << QByteArray("7.25,1\r\n") << QByteArray("12.5,3\r\n")
                                     << false << QByteArray("12.5,7.25");
    QTest::newRow("numbers compared as integers")
        << "10"
        << "9" << QByteArray("ten\r\n") << QByteArray("nine\r\n") << false
        << QByteArray("nine,ten");
    QTest::newRow("equal numbers keep the listed order")
        << "4"
        << "4" << QByteArray("a") << QByteArray("b") << true << QByteArray("a,b");
    QTest::newRow("non-numeric numbers count as 0")
        << "x"
        << "y" << QByteArray("a") << QByteArray("b") << true << QByteArray("a,b");
    QTest::newRow("empty first field")
        << "1"
        << "2" << QByteArray(",5\r\n") << QByteArray("6,7\r\n") << true << QByteArray(",6");
    QTest::newRow("empty second field")
        << "1"
        << "2" << QByteArray("5\r\n") << QByteArray("\r\n") << true << QByteArray("5,");
}

void MorvekTest::twoDevices()
{
    QFETCH(QString, idA);
    QFETCH(QString, idB);
    QFETCH(QByteArray, replyA);
    QFETCH(QByteArray, replyB);
    QFETCH(bool, aFirst);
    QFETCH(QByteArray, expected);
    PtyDevice a, b;
    QVERIFY(a.isValid() && b.isValid());
    PtyDevice &first = aFirst ? a : b;
    PtyDevice &second = aFirst ? b : a;

    ControllerRun run({a.slavePath(), idA, b.slavePath(), idB});
    QCOMPARE(first.read(command.size(), 3000), command);
    QCOMPARE(second.read(1, 100), QByteArray()); // one device at a time
    QVERIFY(first.write(aFirst ? replyA : replyB));
    QCOMPARE(second.read(command.size(), 3000), command);
    QVERIFY(second.write(aFirst ? replyB : replyA));
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.output(), expected);
}

void MorvekTest::secondBurstFromFirstDeviceRequeries()
{
    PtyDevice one, two;
    ControllerRun run({one.slavePath(), "1", two.slavePath(), "2"});
    QCOMPARE(one.read(command.size(), 3000), command);
    QVERIFY(one.write("1.0,a\r\n"));
    QCOMPARE(two.read(command.size(), 3000), command);
    // Device 1 speaks again before device 2 answers: its new reading replaces the old one
    // and device 2 is asked again.
    QVERIFY(one.write("2.0,b\r\n"));
    QCOMPARE(two.read(command.size(), 3000), command);
    QVERIFY(two.write("3.0\r\n"));
    QVERIFY(run.finish());
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(run.output(), QByteArray("2.0,3.0"));
}

void MorvekTest::portThatCannotBeOpened_data()
{
    QTest::addColumn<bool>("firstMissing");
    QTest::addColumn<bool>("fail");
    QTest::addColumn<int>("status");
    QTest::newRow("slot 1") << true << false << 0;
    QTest::newRow("slot 2") << false << false << 0;
    QTest::newRow("slot 1, --fail") << true << true << int(openFailedStatus);
    // Device 1 answered: the status says why device 2 gave nothing.
    QTest::newRow("slot 2, --fail") << false << true << int(openFailedStatus);
}

void MorvekTest::portThatCannotBeOpened()
{
    QFETCH(bool, firstMissing);
    QFETCH(bool, fail);
    QFETCH(int, status);
    PtyDevice device;
    const QString missing = QStringLiteral("/nonexistent/tty");
    std::unique_ptr<ControllerRun> run;
    if (firstMissing) {
        run.reset(new ControllerRun({missing, "1", device.slavePath(), "2"}, fail));
        QCOMPARE(device.read(1, 300), QByteArray());
    } else {
        run.reset(new ControllerRun({device.slavePath(), "1", missing, "2"}, fail));
        QCOMPARE(device.read(command.size(), 3000), command);
        QVERIFY(device.write("5,6\r\n"));
    }
    QVERIFY(run->finish());
    QVERIFY2(run->elapsedMs < 900, "a failed open ends the run without waiting");
    QCOMPARE(run->exitCode(), status);
    QCOMPARE(run->output(), QByteArray());
}

void MorvekTest::silentDevice_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("silentSlot");
    QTest::addColumn<bool>("fail");
    QTest::addColumn<int>("status");
    QTest::newRow("single device") << 1 << 1 << false << 0;
    QTest::newRow("two devices, slot 1 silent") << 2 << 1 << false << 0;
    QTest::newRow("two devices, slot 2 silent") << 2 << 2 << false << 0;
    const int noReply = noReplyStatus;
    QTest::newRow("single device, --fail") << 1 << 1 << true << noReply;
    QTest::newRow("two devices, slot 2 silent, --fail") << 2 << 2 << true << noReply;
}

void MorvekTest::silentDevice()
{
    QFETCH(int, devices);
    QFETCH(int, silentSlot);
    QFETCH(bool, fail);
    QFETCH(int, status);
    PtyDevice one, two;
    QStringList args{one.slavePath(), "1"};
    if (devices == 2)
        args << two.slavePath() << "2";
    ControllerRun run(args, fail);
    QCOMPARE(one.read(command.size(), 3000), command);
    QElapsedTimer waited;
    waited.start();
    if (silentSlot == 2) {
        QVERIFY(one.write("5,6\r\n"));
        QCOMPARE(two.read(command.size(), 3000), command);
        waited.restart();
    }
    QVERIFY(run.finish(4000));
    QCOMPARE(run.exitCode(), status);
    QCOMPARE(run.output(), QByteArray());
    // The silent device gets its full second, and not much more.
    QVERIFY2(waited.elapsed() >= 900, qPrintable(QString::number(waited.elapsed())));
    QVERIFY2(waited.elapsed() < 2500, qPrintable(QString::number(waited.elapsed())));
}

void MorvekTest::deviceGone_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("goneSlot");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("fail");
    QTest::addColumn<int>("status");
    QTest::newRow("single device") << 1 << 1 << QByteArray() << false << 0;
    QTest::newRow("slot 2, after slot 1 answered") << 2 << 2 << QByteArray() << false << 0;
    // Device 1 has given its reading: the run goes on waiting for device 2.
    QTest::newRow("slot 1, after it answered") << 2 << 1 << QByteArray("5,7") << false << 0;
    const int gone = deviceGoneStatus;
    QTest::newRow("single device, --fail") << 1 << 1 << QByteArray() << true << gone;
    QTest::newRow("slot 2, after slot 1 answered, --fail")
        << 2 << 2 << QByteArray() << true << gone;
    QTest::newRow("slot 1, after it answered, --fail") << 2 << 1 << QByteArray("5,7") << true << 0;
}

void MorvekTest::deviceGone()
{
    QFETCH(int, devices);
    QFETCH(int, goneSlot);
    QFETCH(QByteArray, expected);
    QFETCH(bool, fail);
    QFETCH(int, status);
    PtyDevice one, two;
    QStringList args{one.slavePath(), "1"};
    if (devices == 2)
        args << two.slavePath() << "2";
    const qint64 cpuBefore = ControllerRun::childrenCpuMs();
    ControllerRun run(args, fail);
    QCOMPARE(one.read(command.size(), 3000), command);
    if (devices == 2) {
        QVERIFY(one.write("5,6\r\n"));
        QCOMPARE(two.read(command.size(), 3000), command);
    }
    QElapsedTimer sinceGone;
    sinceGone.start();
    (goneSlot == 1 ? one : two).hangUp();
    if (!expected.isEmpty()) {
        QTest::qWait(600);
        QVERIFY(two.write("7,8\r\n"));
    }
    QVERIFY(run.finish(4000));
    QCOMPARE(run.exitCode(), status);
    QCOMPARE(run.output(), expected);
    if (expected.isEmpty()) {
        QVERIFY2(sinceGone.elapsed() < 200, qPrintable(QString::number(sinceGone.elapsed())));
        return;
    }
    // The run went on waiting: the hung-up line must not be polled in a busy loop meanwhile.
    const qint64 cpuMs = ControllerRun::childrenCpuMs() - cpuBefore;
    QVERIFY2(cpuMs * 2 < run.elapsedMs,
             qPrintable(QStringLiteral("%1 ms CPU in %2 ms").arg(cpuMs).arg(run.elapsedMs)));
}

void MorvekTest::endedBySignal_data()
{
    QTest::addColumn<int>("signalNumber");
    // Sent by the reader of standard output going away before the reading is written,
    // rather than by kill().
    QTest::addColumn<bool>("byOutput");
    QTest::newRow("SIGINT") << SIGINT << false;
    QTest::newRow("SIGTERM") << SIGTERM << false;
    QTest::newRow("SIGHUP") << SIGHUP << false;
    QTest::newRow("SIGPIPE") << SIGPIPE << false;
    QTest::newRow("SIGPIPE from standard output") << SIGPIPE << true;
}

void MorvekTest::endedBySignal()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, byOutput);
    PtyDevice one, two;
    const QString lockFile = lockOf(one);
    // Device 1 never answers in the kill() rows: the run would wait for ever.
    ControllerRun run({one.slavePath(), "1", two.slavePath(), "2"});
    QCOMPARE(one.read(command.size(), 3000), command);
    QVERIFY2(QFile::exists(lockFile), "the open line has its lock file");
    if (byOutput) {
        run.closeOutput();
        QVERIFY(one.write("5,6\r\n"));
        QCOMPARE(two.read(command.size(), 3000), command);
        QVERIFY(two.write("7,8\r\n"));
    } else {
        run.sendSignal(signalNumber);
    }
    run.finish(3000);
    // Ended by the signal, as its sender expects, and with its lines closed.
    QCOMPARE(run.endSignal(), signalNumber);
    QVERIFY2(!QFile::exists(lockFile), "the lock file is gone");
}

void MorvekTest::integratorOptions_data()
{
    QTest::addColumn<QStringList>("numbers");
    QTest::addColumn<QStringList>("options");
    // The devices asked, by their index in numbers, in the order they are asked.
    QTest::addColumn<QList<int>>("asked");
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("expected");
    // In place of comparing the output: POINTER=JSON, each value of the JSON output.
    QTest::addColumn<QStringList>("json");
    const QList<QByteArray> replies{"ATCD\r\n12.5,3\r\n", "ATCD\r\n7.25,1\r\n", "9,9\r\n"};
    const QStringList plain;
    QTest::newRow("--number beyond the first two")
        << QStringList{"3", "1", "2"} << QStringList{"--number", "2"} << QList<int>{2}
        << QList<QByteArray>{"", "", "ATCD\r\n7.25,1\r\n"} << 0 << QByteArray("7.25,1") << plain;
    QTest::newRow("--number N,M in the order given, zeros and all")
        << QStringList{"1", "2"} << QStringList{"--number=02,1"} << QList<int>{1, 0} << replies << 0
        << QByteArray("7.25,12.5") << plain;
    QTest::newRow("--number that no device has")
        << QStringList{"1", "2"} << QStringList{"--number", "1,5"} << QList<int>{} << replies << 255
        << QByteArray() << plain;
    QTest::newRow("--number that two devices have")
        << QStringList{"1", "01", "2"} << QStringList{"--number", "2,1"} << QList<int>{} << replies
        << int(sameNumberStatus) << QByteArray() << plain;
    QTest::newRow("--json, two devices")
        << QStringList{"2", "1"} << QStringList{"--json"} << QList<int>{1, 0}
        << QList<QByteArray>{"7.25,1\r\n", "12.5,3\r\n"} << 0 << QByteArray()
        << QStringList{"/output=\"12.5,7.25\"",         "/status=0",
                       "/devices/0/number=\"1\"",       "/devices/0/reply=\"12.5,3\"",
                       "/devices/0/reading=\"12.5\"",   "/devices/0/outcome=\"reading\"",
                       "/devices/0/source=\"product\"", "/devices/0/error=null",
                       "/devices/1/number=\"2\"",       "/devices/1/reading=\"7.25\""};
    QTest::newRow("--json --fail, slot 2 silent")
        << QStringList{"1", "2"} << QStringList{"--json", "--fail"} << QList<int>{0, 1}
        << QList<QByteArray>{"5,6\r\n", ""} << int(noReplyStatus) << QByteArray()
        << QStringList{"/output=null",
                       "/status=5",
                       "/devices/0/reading=\"5\"",
                       "/devices/1/outcome=\"no-reply\"",
                       "/devices/1/reply=null",
                       "/devices/1/error=\"no reply within 1000 ms\""};
    // The bytes of a reply are Latin-1: each a code point of the same value.
    QTest::newRow("--json, one device, bytes beyond ASCII")
        << QStringList{"1"} << QStringList{"--json"} << QList<int>{0}
        << QList<QByteArray>{"\xe9\x01\x7f,\xff\r\n"} << 0 << QByteArray()
        << QStringList{"/output=\"\u00e9\\u0001\u007f,\u00ff\"",
                       "/devices/0/reading=\"\u00e9\\u0001\u007f,\u00ff\""};
    QTest::newRow("--json, a number that no device has")
        << QStringList{"1"} << QStringList{"--json", "--number", "1,4"} << QList<int>{} << replies
        << 255 << QByteArray()
        << QStringList{"/output=null",
                       "/status=255",
                       "/devices/0/outcome=\"not-asked\"",
                       "/devices/1/outcome=\"missing\"",
                       "/devices/1/number=\"4\"",
                       "/devices/1/port=null",
                       "/devices/1/elapsed_ms=null"};
    QTest::newRow("--json, a number two devices have")
        << QStringList{"7", "007"} << QStringList{"--json", "--number", "7"} << QList<int>{}
        << replies << int(sameNumberStatus) << QByteArray()
        << QStringList{"/status=7", "/devices/0/outcome=\"same-number\"",
                       "/devices/1/number=\"007\"", "/devices/1/outcome=\"same-number\""};
    QTest::newRow("--wait with the device there: no wait")
        << QStringList{"1"} << QStringList{"--wait", "5"} << QList<int>{0} << replies << 0
        << QByteArray("12.5,3") << plain;
    // Usage: nothing is opened, nothing is sent.
    for (const QStringList &bad :
         {QStringList{"--number", "abc"}, QStringList{"--number", "1,2,3"},
          QStringList{"--number", "1,1"}, QStringList{"--wait", "-1"}, QStringList{"--wait=x"},
          QStringList{"--json", "--wait"}, QStringList{"-v", "--number"}})
        QTest::newRow(qPrintable("usage: " + bad.join(' ')))
            << QStringList{"1", "2"} << bad << QList<int>{} << replies << int(usageStatus)
            << QByteArray() << plain;
}

void MorvekTest::integratorOptions()
{
    QFETCH(QStringList, numbers);
    QFETCH(QStringList, options);
    QFETCH(QList<int>, asked);
    QFETCH(QList<QByteArray>, replies);
    QFETCH(int, status);
    QFETCH(QByteArray, expected);
    QFETCH(QStringList, json);
    std::vector<std::unique_ptr<PtyDevice>> devices;
    QStringList args;
    for (const QString &number : numbers) {
        devices.emplace_back(new PtyDevice);
        QVERIFY(devices.back()->isValid());
        args << devices.back()->slavePath() << number;
    }
    const QElapsedTimer started = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    ControllerRun run(args, false, options);
    for (const int index : asked) {
        QCOMPARE(devices.at(index)->read(command.size(), 3000), command);
        if (!replies.value(index).isEmpty())
            QVERIFY(devices.at(index)->write(replies.at(index)));
    }
    QVERIFY(run.finish(4000));
    QCOMPARE(run.exitCode(), status);
    for (int index = 0; index < int(devices.size()); ++index) {
        if (!asked.contains(index))
            QCOMPARE(devices.at(index)->read(1, 0), QByteArray());
    }
    if (options.contains("--wait"))
        QVERIFY2(started.elapsed() < 1000, "the device was there: no wait");
    if (json.isEmpty()) {
        QCOMPARE(run.output(), expected);
        return;
    }
    QVERIFY2(run.output().endsWith("}\n") && run.output().count('\n') == 1, run.output());
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(run.output(), &error);
    QVERIFY2(document.isObject(), qPrintable(error.errorString()));
    const QJsonValue root = document.object();
    QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$")
                .match(pointed(root, "/time").toString())
                .hasMatch());
    for (const QString &check : json) {
        const QString pointer = check.section('=', 0, 0);
        const QJsonValue wanted =
            QJsonDocument::fromJson("[" + check.section('=', 1).toUtf8() + "]").array().at(0);
        QVERIFY2(pointed(root, pointer) == wanted,
                 qPrintable(check + " in " + QString::fromUtf8(run.output())));
    }
    // Every device asked took its time, none other did.
    const QJsonArray records = root.toObject().value("devices").toArray();
    for (int i = 0; i < records.size(); ++i) {
        const QJsonValue elapsed = records.at(i).toObject().value("elapsed_ms");
        QCOMPARE(elapsed.isDouble(), i < asked.size());
        QVERIFY(!elapsed.isDouble() || elapsed.toDouble() >= 0);
    }
}

void MorvekTest::stalledReader_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void MorvekTest::stalledReader()
{
    QFETCH(int, signalNumber);
    // A reader that is there but does not read: its pipe is full before the run writes.
    int out[2];
    QVERIFY(pipe2(out, O_CLOEXEC) == 0);
    const int size = fcntl(out[1], F_GETPIPE_SZ);
    QVERIFY(size > 0 && write(out[1], QByteArray(size, 'x').constData(), size_t(size)) == size);
    PtyDevice one, two;
    ControllerRun run({one.slavePath(), "1", two.slavePath(), "2"}, false, {}, out[1]);
    close(out[1]);
    QCOMPARE(one.read(command.size(), 3000), command);
    QVERIFY(one.write("5,6\r\n"));
    QCOMPARE(two.read(command.size(), 3000), command);
    QVERIFY(two.write("7,8\r\n"));
    QVERIFY2(!run.finish(500), "the run waits for its reader");
    // It waits holding nothing: both lines are closed and their locks gone.
    QVERIFY(!QFile::exists(lockOf(one)) && !QFile::exists(lockOf(two)));
    QElapsedTimer sinceSignal;
    sinceSignal.start();
    run.sendSignal(signalNumber);
    run.finish(2000);
    QCOMPARE(run.endSignal(), signalNumber);
#ifdef CONTROLLER_HARNESS_EMULATOR
    const qint64 allowedMs = 1000;
#else
    const qint64 allowedMs = 100;
#endif
    QVERIFY2(sinceSignal.elapsed() < allowedMs, qPrintable(QString::number(sinceSignal.elapsed())));
    close(out[0]);
}

QTEST_GUILESS_MAIN(MorvekTest)
#include "tst_morvek.moc"
