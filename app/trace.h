// SPDX-License-Identifier: MIT
#ifndef MORVEK_TRACE_H
#define MORVEK_TRACE_H

#include "discovery/deviceentry.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>

// The opt-in trace of a run (--verbose): one line per event on standard error, each with
// the milliseconds since the trace was started. Every run has one, and it writes nothing
// until start(), so that callers report their events without asking whether anyone listens.
class Trace
{
public:
    // Qt's own warnings go to this trace from now on, and so nowhere while it is off: without
    // --verbose nothing may reach standard error. One per process, made before Qt is.
    Trace();
    ~Trace();
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;

    // Switches the trace on; its clock starts here.
    void start();

    // The arguments that the run does not use, in whole or in part; none: no line.
    void ignoredArguments(const QStringList &arguments);
    void devicesFound(const QList<DeviceEntry> &devices);
    // --wait: the wait for the devices begins, and how it ended.
    void waiting(int waitMs);
    void waited(qint64 elapsedMs, bool there);
    // --number: a number that no device has; a number that these devices share.
    void numberMissing(const QString &number);
    void numberShared(const QString &number, const QStringList &ports);
    // The order of the query; an empty second port name means a single-device run.
    void queryOrder(const DeviceEntry &first, const DeviceEntry &second);
    void opened(const QString &port, const QString &path);
    void openFailed(const QString &port, const QString &path, const QString &reason);
    // The reply deadline starts now, for the port; called before the timer starts, so that the
    // time-out's line never counts less than the timer waited.
    void deadlineStarts(const QString &port);
    // A command sent; deadlineMs is the reply deadline it started, 0 when it left the
    // deadline as it was.
    void sent(const QString &port, const QByteArray &bytes, int deadlineMs);
    void received(const QString &port, const QByteArray &burst);
    void reading(const QString &port, const QString &text);
    void deviceGone(const QString &port, bool runEnds);

    // A message of Qt's own (a warning of the library, not of this program).
    void qtMessage(const QString &message);

    // Why the run ended.
    void answered();
    void timedOut();
    void openFailureEnds();
    void outputFailed(const QString &reason);
    void noDevice();
    void sameNumber();
    void endSignalled(const QString &signalName);
    // --list wrote its lines.
    void listed(int devices);

private:
    void line(const QString &text);

    QElapsedTimer clock;
    bool on = false;
    // Set once a line could not be written: the trace ends there, the run goes on.
    bool broken = false;
    qint64 deadlineSetAtMs = 0;
    QString deadlinePort;
};

#endif
