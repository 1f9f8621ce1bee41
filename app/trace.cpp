#include "trace.h"

#include "app/morvek.h"
#include "platform/processservices.h"

Trace::Trace()
{
    clock.start();
}

void Trace::line(const QString &text)
{
    const QString stamped = QStringLiteral("%1 ms  %2\n").arg(clock.elapsed(), 5).arg(text);
    writeStandardError(stamped.toUtf8());
}

QString Trace::escaped(const QByteArray &bytes)
{
    QString text;
    for (const char byte : bytes) {
        switch (byte) {
        case '\r':
            text += QStringLiteral("\\r");
            break;
        case '\n':
            text += QStringLiteral("\\n");
            break;
        case '\t':
            text += QStringLiteral("\\t");
            break;
        case '\\':
            text += QStringLiteral("\\\\");
            break;
        default:
            if (byte >= 0x20 && byte < 0x7f)
                text += QLatin1Char(byte);
            else
                text += QStringLiteral("\\x%1").arg(uchar(byte), 2, 16, QLatin1Char('0'));
        }
    }
    return text;
}

void Trace::devicesFound(const QList<DeviceEntry> &devices)
{
    line(QStringLiteral("found %1 device(s)").arg(devices.size()));
    for (const DeviceEntry &device : devices)
        line(QStringLiteral("found %1, number \"%2\"").arg(device.portName, device.deviceId));
}

void Trace::queryOrder(const DeviceEntry &first, const DeviceEntry &second)
{
    if (second.portName.isEmpty()) {
        line(QStringLiteral("query %1 alone").arg(first.portName));
        return;
    }
    line(QStringLiteral("query %1 (number \"%2\") first, then %3 (number \"%4\")")
             .arg(first.portName, first.deviceId, second.portName, second.deviceId));
}

void Trace::opened(const QString &port, const QString &path)
{
    line(QStringLiteral("opened %1 as %2").arg(port, path));
}

void Trace::openFailed(const QString &port, const QString &path, const QString &reason)
{
    line(QStringLiteral("cannot open %1 as %2: %3").arg(port, path, reason));
}

void Trace::sent(const QString &port, const QByteArray &bytes, bool deadlineSet)
{
    if (deadlineSet) {
        deadlineSetAtMs = clock.elapsed();
        deadlinePort = port;
    }
    line(QStringLiteral("sent %1 bytes to %2: %3 (%4)")
             .arg(bytes.size())
             .arg(port, escaped(bytes),
                  deadlineSet
                      ? QStringLiteral("reply deadline in %1 ms").arg(Morvek::replyTimeoutMs)
                      : QStringLiteral("reply deadline unchanged")));
}

void Trace::received(const QString &port, const QByteArray &burst)
{
    line(QStringLiteral("received %1 bytes from %2: %3")
             .arg(burst.size())
             .arg(port, escaped(burst)));
}

void Trace::reading(const QString &port, const QString &text)
{
    line(QStringLiteral("reading from %1: %2").arg(port, escaped(text.toLatin1())));
}

void Trace::deviceGone(const QString &port, bool runEnds)
{
    line(runEnds ? QStringLiteral("end: device gone from %1").arg(port)
                 : QStringLiteral("device gone from %1; waiting for the other device").arg(port));
}

void Trace::answered()
{
    line(QStringLiteral("end: answer written to standard output"));
}

void Trace::timedOut()
{
    line(QStringLiteral("end: time-out after %1 ms without a reply from %2")
             .arg(clock.elapsed() - deadlineSetAtMs)
             .arg(deadlinePort));
}

void Trace::openFailureEnds()
{
    line(QStringLiteral("end: open failure"));
}

void Trace::outputFailed(const QString &reason)
{
    line(QStringLiteral("end: standard output failed: %1").arg(reason));
}
