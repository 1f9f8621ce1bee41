// SPDX-License-Identifier: MIT
#ifndef MORVEK_RUNREPORT_H
#define MORVEK_RUNREPORT_H

#include "discovery/devicediscovery.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <optional>

// What became of one device in a run.
enum class DeviceOutcome { Reading, CannotOpen, NoReply, Gone, NotAsked, Missing, SameNumber };

struct DeviceRecord {
    // Empty for a number that no device has.
    QString port;
    QString number;
    std::optional<IdentitySource> source;
    std::optional<QString> reply;
    std::optional<QString> reading;
    DeviceOutcome outcome = DeviceOutcome::NotAsked;
    QString error;
    // From the start of the open of its line; unset for a device not asked.
    std::optional<qint64> elapsedMs;
    QElapsedTimer clock;

    static DeviceRecord of(const DiscoveredDevice &device);
    // The number asked that no device has.
    static DeviceRecord missing(const QString &number);
};

// The run as --json prints it: one object with when the query started, the output, the
// status and a record for each device in the order asked. The keys are those of
// docs/morvek.schema.json.
class RunReport
{
public:
    // The query starts now.
    void start();
    QList<DeviceRecord> devices;

    // The JSON line (object and newline); output null when none was printed.
    QByteArray json(const std::optional<QString> &output, int status) const;

private:
    QDateTime started;
};

// --list --json: the devices as an array of records, each with the slot it is queried in.
QByteArray deviceListJson(const QList<DiscoveredDevice> &devices, const QList<int> &slotNumbers);

#endif
