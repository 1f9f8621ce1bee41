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
// the milliseconds since the trace began. Only a run that asks for it creates one.
class Trace
{
public:
    Trace();
    ~Trace();

    // Qt's own warnings go to this trace from now on, or nowhere when it is null: without
    // --verbose nothing may reach standard error.
    static void takeQtMessages(Trace *trace);

    // The arguments that the run does not use, in whole or in part; none: no line.
    void ignoredArguments(const QStringList &arguments);
    void devicesFound(const QList<DeviceEntry> &devices);
    // The order of the query; an empty second port name means a single-device run.
    void queryOrder(const DeviceEntry &first, const DeviceEntry &second);
    void opened(const QString &port, const QString &path);
    void openFailed(const QString &port, const QString &path, const QString &reason);
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
    void endSignalled(const QString &signalName);
    // --list wrote its lines.
    void listed(int devices);

    // Printable ASCII as it is; line ends, tabs, backslashes and every other byte escaped.
    static QString escapedBytes(const QByteArray &bytes);
    // A text from a device or the platform, made safe for one field of one line: as above
    // for ASCII and Latin-1 controls, other control and format characters as \u{HHHH},
    // any other character as it is.
    static QString escapedText(const QString &text);
    // A path the line opens, escaped but for the device namespace prefix (\\.\) that the
    // line itself puts in front of a port name.
    static QString escapedPath(const QString &path);

private:
    void line(const QString &text);

    QElapsedTimer clock;
    // Set once a line could not be written: the trace ends there, the run goes on.
    bool broken = false;
    qint64 deadlineSetAtMs = 0;
    QString deadlinePort;
};

#endif
