#ifndef MORVEK_USBDEVICETREE_H
#define MORVEK_USBDEVICETREE_H

#include <QString>
#include <QStringList>

#include <optional>

// The USB device tree in sysfs, read one attribute at a time, described in the terms
// Windows uses for the same device. An absent or unreadable property is std::nullopt.

// The names of the USB devices (not their interfaces) listed in sysRoot/bus/usb/devices,
// in the natural order of their names; false when that list cannot be read.
bool listUsbDevices(const QString &sysRoot, QStringList *busNames);

// The natural order of bus names: numbers joined by "-" and "." compare number by number,
// so 1-2 comes before 1-10 and before 1-2.1. Other text compares character by character.
bool busNameLessThan(const QString &a, const QString &b);

// The hardware IDs of the device in deviceDir (such as USB\VID_04D8&PID_000A&REV_0100,
// then USB\VID_04D8&PID_000A): nothing when its vendor or product id cannot be read.
std::optional<QStringList> usbHardwareIds(const QString &deviceDir);
// "USB Serial Device (COMn)" for the device's first ACM tty, ttyACM(n-1).
std::optional<QString> usbFriendlyName(const QString &deviceDir, const QString &busName);
// The hub port and the bus, as Windows words its location information.
std::optional<QString> usbLocationInformation(const QString &busName);
// The USB product string.
std::optional<QString> usbProductString(const QString &deviceDir);

#endif
