// SPDX-License-Identifier: MIT
#include "ptydevice.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

PtyDevice::PtyDevice()
{
    char name[256] = {};
    if (openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0) {
        masterFd = -1;
        slaveFd = -1;
        return;
    }
    path = QString::fromLocal8Bit(name);
    // The slave end we hold keeps the master readable while the code under test closes
    // and reopens the line; it is never read.
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    // A child process must not inherit either end, or it would keep the line up after
    // hangUp().
    fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
}

PtyDevice::~PtyDevice()
{
    hangUp();
}

void PtyDevice::hangUp()
{
    if (slaveFd >= 0)
        ::close(slaveFd);
    if (masterFd >= 0)
        ::close(masterFd);
    slaveFd = -1;
    masterFd = -1;
}

bool PtyDevice::write(const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(masterFd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        if (n > 0)
            done += n;
    }
    return true;
}

QByteArray PtyDevice::read(int count, int timeoutMs)
{
    QByteArray received;
    QDeadlineTimer deadline(timeoutMs);
    while (received.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        pollfd pfd = {masterFd, POLLIN, 0};
        if (poll(&pfd, 1, 10) <= 0 || !(pfd.revents & POLLIN))
            continue;
        char chunk[256];
        const ssize_t n = ::read(masterFd, chunk, sizeof chunk);
        if (n > 0)
            received.append(chunk, int(n));
    }
    return received;
}
