// SPDX-License-Identifier: MIT
#ifndef MORVEK_USBDEVICETREE_H
#define MORVEK_USBDEVICETREE_H

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// A USB device that carries a CDC-ACM tty, described in the terms Windows uses for it.
struct UsbSerialDevice {
    QString busName;                 // such as 1-2.3
    QStringList hardwareIds;         // USB\VID_04D8&PID_000A&REV_0100, then USB\VID_04D8&PID_000A
    QString friendlyName;            // USB Serial Device (COMn), for ttyACM(n-1)
    std::optional<QString> location; // the hub port and the bus
    QString dir;                     // its folder, for what is read only when asked for
};

// The USB devices under sysRoot that the ttyACM entries of sysRoot/class/tty lead up to,
// each once with the tty of its first interface by number, in the natural order of their
// bus names. A tty outside any USB device, and a device whose vendor or product id cannot
// be read, are left out. Nothing when sysRoot/class/tty cannot be read.
std::optional<QList<UsbSerialDevice>> usbSerialDevices(const QString &sysRoot);

// The natural order of bus names: numbers joined by "-" and "." compare number by number,
// so 1-2 comes before 1-10 and before 1-2.1, and interface 1-2:1.2 before 1-2:1.10. Other
// text compares character by character.
bool busNameLessThan(const QString &a, const QString &b);

// The USB product string of the device in deviceDir.
std::optional<QString> usbProductString(const QString &deviceDir);

// Windows words a device's place as the port on its parent hub and the hub: here the last
// number of the port path and the bus number, such as Port_#0002.Hub_#0001 for 1-2.
std::optional<QString> usbLocationInformation(const QString &busName);

#endif
