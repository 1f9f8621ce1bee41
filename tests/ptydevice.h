// SPDX-License-Identifier: MIT
#ifndef MORVEK_TESTS_PTYDEVICE_H
#define MORVEK_TESTS_PTYDEVICE_H

#include <QByteArray>
#include <QString>

// A simulated device on a pseudo-terminal: the code under test opens slavePath() as its
// serial line, the test reads and writes the master side.
class PtyDevice
{
public:
    PtyDevice();
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    bool isValid() const { return masterFd >= 0; }
    QString slavePath() const { return path; }
    int master() const { return masterFd; }

    // Sends one burst to the code under test.
    bool write(const QByteArray &bytes);

    // Unplugs the device: both ends close, and the code under test sees a hung-up line.
    void hangUp();

    // Collects what the code under test wrote until `count` bytes have arrived or
    // `timeoutMs` have passed. Events of the calling thread are processed meanwhile, so
    // in-process serial ports get to flush their writes.
    QByteArray read(int count, int timeoutMs);

private:
    int masterFd = -1;
    int slaveFd = -1;
    QString path;
};

#endif
