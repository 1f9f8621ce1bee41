// SPDX-License-Identifier: MIT
#include "trace.h"

#include "app/escaping.h"
#include "platform/processservices.h"

namespace {

// The one trace that Qt's message handler can reach; a handler takes no context.
Trace *qtMessageTrace = nullptr;

void forwardQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    Q_UNUSED(type)
    Q_UNUSED(context)
    if (qtMessageTrace)
        qtMessageTrace->qtMessage(message);
}

} // namespace

Trace::Trace()
{
    clock.start();
    qtMessageTrace = this;
    qInstallMessageHandler(forwardQtMessage);
}

Trace::~Trace()
{
    if (qtMessageTrace == this)
        qtMessageTrace = nullptr;
}

void Trace::start()
{
    on = true;
    clock.restart();
}

void Trace::qtMessage(const QString &message)
{
    line(QStringLiteral("Qt: %1").arg(escapedText(message)));
}

void Trace::line(const QString &text)
{
    if (!on || broken)
        return;
    const QString stamped = QStringLiteral("%1 ms  %2\n").arg(clock.elapsed(), 5).arg(text);
    broken = !writeStandardError(stamped.toUtf8());
}

void Trace::ignoredArguments(const QStringList &arguments)
{
    if (arguments.isEmpty())
        return;
    // Quoted, with quotes inside escaped, so that each argument reads as one.
    QStringList quoted;
    for (const QString &argument : arguments)
        quoted << QLatin1Char('"') +
                      escapedText(argument).replace(QLatin1Char('"'), QStringLiteral("\\\"")) +
                      QLatin1Char('"');
    line(QStringLiteral("ignored argument(s): %1").arg(quoted.join(QLatin1Char(' '))));
}

void Trace::devicesFound(const QList<DeviceEntry> &devices)
{
    line(QStringLiteral("found %1 device(s)").arg(devices.size()));
    for (const DeviceEntry &device : devices)
        line(QStringLiteral("found %1, number \"%2\"")
                 .arg(escapedText(device.portName), escapedText(device.deviceId)));
}

void Trace::waiting(int waitMs)
{
    line(QStringLiteral("waiting up to %1 ms for the devices").arg(waitMs));
}

void Trace::waited(qint64 elapsedMs, bool there)
{
    line((there ? QStringLiteral("the devices are there after %1 ms")
                : QStringLiteral("stopped waiting after %1 ms"))
             .arg(elapsedMs));
}

void Trace::numberMissing(const QString &number)
{
    line(QStringLiteral("no device has the number %1").arg(number));
}

void Trace::numberShared(const QString &number, const QStringList &ports)
{
    QStringList escaped;
    for (const QString &port : ports)
        escaped << escapedText(port);
    line(QStringLiteral("the number %1 is that of %2: which one is meant cannot be told")
             .arg(number, escaped.join(QStringLiteral(" and "))));
}

void Trace::queryOrder(const DeviceEntry &first, const DeviceEntry &second)
{
    if (second.portName.isEmpty()) {
        line(QStringLiteral("query %1 alone").arg(escapedText(first.portName)));
        return;
    }
    line(QStringLiteral("query %1 (number \"%2\") first, then %3 (number \"%4\")")
             .arg(escapedText(first.portName), escapedText(first.deviceId),
                  escapedText(second.portName), escapedText(second.deviceId)));
}

void Trace::opened(const QString &port, const QString &path)
{
    line(QStringLiteral("opened %1 as %2").arg(escapedText(port), escapedPath(path)));
}

void Trace::openFailed(const QString &port, const QString &path, const QString &reason)
{
    line(QStringLiteral("cannot open %1 as %2: %3")
             .arg(escapedText(port), escapedPath(path), escapedText(reason)));
}

void Trace::deadlineStarts(const QString &port)
{
    deadlineSetAtMs = clock.elapsed();
    deadlinePort = port;
}

void Trace::sent(const QString &port, const QByteArray &bytes, int deadlineMs)
{
    line(QStringLiteral("sent %1 bytes to %2: %3 (%4)")
             .arg(bytes.size())
             .arg(escapedText(port), escapedBytes(bytes),
                  deadlineMs > 0 ? QStringLiteral("reply deadline in %1 ms").arg(deadlineMs)
                                 : QStringLiteral("reply deadline unchanged")));
}

void Trace::received(const QString &port, const QByteArray &burst)
{
    line(QStringLiteral("received %1 bytes from %2: %3")
             .arg(burst.size())
             .arg(escapedText(port), escapedBytes(burst)));
}

void Trace::reading(const QString &port, const QString &text)
{
    line(QStringLiteral("reading from %1: %2")
             .arg(escapedText(port), escapedBytes(text.toLatin1())));
}

void Trace::deviceGone(const QString &port, bool runEnds)
{
    line((runEnds ? QStringLiteral("end: device gone from %1")
                  : QStringLiteral("device gone from %1; waiting for the other device"))
             .arg(escapedText(port)));
}

void Trace::answered()
{
    line(QStringLiteral("end: answer written to standard output"));
}

void Trace::timedOut()
{
    line(QStringLiteral("end: time-out after %1 ms without a reply from %2")
             .arg(clock.elapsed() - deadlineSetAtMs)
             .arg(escapedText(deadlinePort)));
}

void Trace::openFailureEnds()
{
    line(QStringLiteral("end: open failure"));
}

void Trace::outputFailed(const QString &reason)
{
    line(QStringLiteral("end: standard output failed: %1").arg(escapedText(reason)));
}

void Trace::noDevice()
{
    line(QStringLiteral("end: no device"));
}

void Trace::sameNumber()
{
    line(QStringLiteral("end: a number asked for is shared; no device asked"));
}

void Trace::listed(int devices)
{
    line(QStringLiteral("end: listed %1 device(s)").arg(devices));
}

void Trace::endSignalled(const QString &signalName)
{
    line(QStringLiteral("end: %1; the ports are closed and the run ends by the signal")
             .arg(signalName));
}
