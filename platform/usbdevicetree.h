#ifndef MORVEK_USBDEVICETREE_H
#define MORVEK_USBDEVICETREE_H

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One present USB device as the device tree describes it, in the terms Windows uses for
// the same device. An absent property is std::nullopt.
struct UsbDeviceRecord {
    QString busName; // such as 1-2.3
    QStringList hardwareIds;
    std::optional<QString> friendlyName;
    std::optional<QString> locationInformation;
    std::optional<QString> productString;
};

// Reads the USB devices (not their interfaces) below sysRoot/bus/usb/devices, in the
// natural order of their names (1-2 before 1-10). A device whose vendor or product id
// cannot be read is left out. Returns false when the USB device list cannot be read.
bool readUsbDeviceTree(const QString &sysRoot, QList<UsbDeviceRecord> *devices);

#endif
