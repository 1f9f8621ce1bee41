// SPDX-License-Identifier: MIT
#include "platform/ttyline.h"

// Windows takes no lock files, so Qt Serial Port opens every line there.

TtyLine::TtyLine(QObject *parent) : QObject(parent) {}

TtyLine::~TtyLine() = default;

bool TtyLine::open(const QString &path, const QSerialPort &settings)
{
    Q_UNUSED(path)
    Q_UNUSED(settings)
    return false;
}

void TtyLine::close() {}

qint64 TtyLine::write(const QByteArray &bytes)
{
    Q_UNUSED(bytes)
    return -1;
}

QByteArray TtyLine::readAll()
{
    return QByteArray();
}

void TtyLine::readLine() {}

void TtyLine::writePending() {}

void TtyLine::fail(int errorNumber)
{
    Q_UNUSED(errorNumber)
}
