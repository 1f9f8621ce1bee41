// SPDX-License-Identifier: MIT
#include "devicewait.h"

#include "app/trace.h"
#include "platform/devicepath.h"
#include "serial/serialport.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>

namespace {

// Often enough that a reading follows a plug within a fraction of a second; rarely enough
// that a discovery each time costs nothing that shows.
constexpr int discoveryIntervalMs = 100;

bool portsPresent(const DeviceChoice &choice)
{
    return std::all_of(choice.chosen.cbegin(), choice.chosen.cend(),
                       [](const DiscoveredDevice &device) {
                           return portPresent(SerialPort::systemPath(device.entry.portName));
                       });
}

} // namespace

Sighting waitForDevices(const Discovery &discover, const QStringList &asked, int waitMs,
                        Trace &trace)
{
    QElapsedTimer clock;
    clock.start();
    if (waitMs > 0)
        trace.waiting(waitMs);
    for (;;) {
        Sighting sighting;
        sighting.found = discover();
        sighting.choice = chooseDevices(sighting.found, asked);
        if (waitMs <= 0)
            return sighting;
        const bool there = sighting.choice.complete() && portsPresent(sighting.choice);
        const qint64 left = waitMs - clock.elapsed();
        if (there || !sighting.choice.sharing.isEmpty() || left <= 0) {
            trace.waited(clock.elapsed(), there);
            return sighting;
        }
        QThread::msleep(ulong(std::min<qint64>(discoveryIntervalMs, left)));
    }
}
