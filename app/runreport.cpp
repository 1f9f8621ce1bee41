// SPDX-License-Identifier: MIT
#include "runreport.h"

#include "platform/helpconventions.h"
#include "serial/serialport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString outcomeName(DeviceOutcome outcome)
{
    switch (outcome) {
    case DeviceOutcome::Reading:
        return QStringLiteral("reading");
    case DeviceOutcome::CannotOpen:
        return QStringLiteral("cannot-open");
    case DeviceOutcome::NoReply:
        return QStringLiteral("no-reply");
    case DeviceOutcome::Gone:
        return QStringLiteral("gone");
    case DeviceOutcome::NotAsked:
        return QStringLiteral("not-asked");
    case DeviceOutcome::Missing:
        return QStringLiteral("missing");
    case DeviceOutcome::SameNumber:
        return QStringLiteral("same-number");
    }
    return QString();
}

// Replies are bytes: each becomes the code point of the same value (Latin-1), which JSON
// carries as it is, control bytes escaped.
QJsonValue textOrNull(const std::optional<QString> &text)
{
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

QJsonObject deviceObject(const DeviceRecord &record)
{
    const bool found = !record.port.isEmpty();
    QJsonObject object;
    object.insert(QStringLiteral("port"), found ? QJsonValue(record.port) : QJsonValue());
    object.insert(QStringLiteral("path"),
                  found ? QJsonValue(SerialPort::systemPath(record.port)) : QJsonValue());
    object.insert(QStringLiteral("number"), record.number);
    object.insert(QStringLiteral("source"), !record.source ? QJsonValue()
                                            : *record.source == IdentitySource::Location
                                                ? QStringLiteral("location")
                                                : QStringLiteral("product"));
    object.insert(QStringLiteral("reply"), textOrNull(record.reply));
    object.insert(QStringLiteral("reading"), textOrNull(record.reading));
    object.insert(QStringLiteral("outcome"), outcomeName(record.outcome));
    object.insert(QStringLiteral("error"),
                  record.error.isEmpty() ? QJsonValue() : QJsonValue(record.error));
    object.insert(QStringLiteral("elapsed_ms"),
                  record.elapsedMs ? QJsonValue(double(*record.elapsedMs)) : QJsonValue());
    return object;
}

QByteArray line(const QJsonDocument &document)
{
    return document.toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

DeviceRecord DeviceRecord::of(const DiscoveredDevice &device)
{
    DeviceRecord record;
    record.port = device.entry.portName;
    record.number = device.entry.deviceId;
    record.source = device.source;
    return record;
}

DeviceRecord DeviceRecord::missing(const QString &number)
{
    DeviceRecord record;
    record.number = number;
    record.outcome = DeviceOutcome::Missing;
    record.error = QStringLiteral("no device has the number %1").arg(number);
    return record;
}

void RunReport::start()
{
    started = QDateTime::currentDateTimeUtc();
}

QByteArray RunReport::json(const std::optional<QString> &output, int status) const
{
    QJsonArray array;
    for (const DeviceRecord &record : devices)
        array.append(deviceObject(record));
    QJsonObject object;
    object.insert(QStringLiteral("time"),
                  started.isValid() ? started.toString(Qt::ISODateWithMs)
                                    : QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    object.insert(QStringLiteral("output"), textOrNull(output));
    // As the caller's shell sees it: -1 is 255 where only the low byte reaches it.
    object.insert(QStringLiteral("status"), status == -1 ? minusOneStatusText().toInt() : status);
    object.insert(QStringLiteral("devices"), array);
    return line(QJsonDocument(object));
}

QByteArray deviceListJson(const QList<DiscoveredDevice> &devices, const QList<int> &slotNumbers)
{
    QJsonArray array;
    for (int i = 0; i < devices.size(); ++i) {
        QJsonObject object = deviceObject(DeviceRecord::of(devices.at(i)));
        const int slot = slotNumbers.value(i);
        object.insert(QStringLiteral("slot"), slot > 0 ? QJsonValue(slot) : QJsonValue());
        array.append(object);
    }
    return line(QJsonDocument(array));
}
