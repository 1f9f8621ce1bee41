// SPDX-License-Identifier: MIT
#include "platform/ttyline.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

speed_t speedOf(qint32 baud)
{
    switch (baud) {
    case 110:
        return B110;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

// As Qt Serial Port sets a line up: raw, reads that never wait, the receiver on.
void applySettings(termios *tio, const QSerialPort &settings)
{
    cfmakeraw(tio);
    tio->c_cflag |= CLOCAL | CREAD;
    tio->c_cc[VTIME] = 0;
    tio->c_cc[VMIN] = 0;
    tio->c_cflag &= ~CSIZE;
    switch (settings.dataBits()) {
    case QSerialPort::Data5:
        tio->c_cflag |= CS5;
        break;
    case QSerialPort::Data6:
        tio->c_cflag |= CS6;
        break;
    case QSerialPort::Data7:
        tio->c_cflag |= CS7;
        break;
    default:
        tio->c_cflag |= CS8;
        break;
    }
    tio->c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (settings.parity()) {
    case QSerialPort::EvenParity:
        tio->c_cflag |= PARENB;
        break;
    case QSerialPort::OddParity:
        tio->c_cflag |= PARENB | PARODD;
        break;
    case QSerialPort::SpaceParity:
        tio->c_cflag |= PARENB | CMSPAR;
        break;
    case QSerialPort::MarkParity:
        tio->c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    default:
        break;
    }
    if (settings.stopBits() == QSerialPort::TwoStop)
        tio->c_cflag |= CSTOPB;
    else
        tio->c_cflag &= ~CSTOPB;
    tio->c_cflag &= ~CRTSCTS;
    tio->c_iflag &= ~(IXON | IXOFF | IXANY);
    if (settings.flowControl() == QSerialPort::HardwareControl)
        tio->c_cflag |= CRTSCTS;
    else if (settings.flowControl() == QSerialPort::SoftwareControl)
        tio->c_iflag |= IXON | IXOFF | IXANY;
    // A rate the table has no constant for is left as it is: a setting the port rejects
    // does not stop the open.
    const speed_t speed = speedOf(settings.baudRate());
    if (speed != B0) {
        cfsetispeed(tio, speed);
        cfsetospeed(tio, speed);
    }
}

} // namespace

TtyLine::TtyLine(QObject *parent) : QObject(parent) {}

TtyLine::~TtyLine()
{
    close();
}

bool TtyLine::open(const QString &path, const QSerialPort &settings)
{
    close();
    fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio = {};
    // As Qt Serial Port: a tty that has no exclusive mode to set opens all the same.
    if (fd >= 0)
        ioctl(fd, TIOCEXCL);
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
        fail(errno);
        return false;
    }
    firstSettings = QByteArray(reinterpret_cast<const char *>(&tio), sizeof tio);
    applySettings(&tio, settings);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        fail(errno);
        return false;
    }
    error.clear();
    reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(reader, &QSocketNotifier::activated, this, &TtyLine::readLine);
    writer = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writer->setEnabled(false);
    connect(writer, &QSocketNotifier::activated, this, &TtyLine::writePending);
    return true;
}

void TtyLine::close()
{
    delete reader;
    reader = nullptr;
    delete writer;
    writer = nullptr;
    pending.clear();
    if (fd < 0)
        return;
    if (firstSettings.size() == int(sizeof(termios))) {
        termios tio = {};
        std::memcpy(&tio, firstSettings.constData(), sizeof tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    ioctl(fd, TIOCNXCL);
    ::close(fd);
    fd = -1;
}

qint64 TtyLine::write(const QByteArray &bytes)
{
    if (fd < 0)
        return -1;
    pending.append(bytes);
    writePending();
    return bytes.size();
}

QByteArray TtyLine::readAll()
{
    QByteArray bytes;
    bytes.swap(received);
    return bytes;
}

void TtyLine::readLine()
{
    char bytes[4096];
    ssize_t n = -1;
    do
        n = ::read(fd, bytes, sizeof bytes);
    while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN)
        return;
    // A hung-up tty reads as its end.
    if (n <= 0) {
        fail(n == 0 ? EIO : errno);
        return;
    }
    received.append(bytes, int(n));
    emit readyRead();
}

void TtyLine::writePending()
{
    while (!pending.isEmpty()) {
        const ssize_t n = ::write(fd, pending.constData(), size_t(pending.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n < 0) {
            fail(errno);
            return;
        }
        pending.remove(0, int(n));
    }
    writer->setEnabled(!pending.isEmpty());
}

void TtyLine::fail(int errorNumber)
{
    error = QString::fromLocal8Bit(std::strerror(errorNumber));
    const bool wasOpen = reader != nullptr;
    if (reader)
        reader->setEnabled(false);
    if (writer)
        writer->setEnabled(false);
    if (!wasOpen && fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    if (wasOpen)
        emit gone();
}
