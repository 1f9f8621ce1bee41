#include "devicediscovery.h"

#include "platform/setupapi.h"
#include "propertyreader.h"

#include <QRegularExpression>

#include <cstring>

namespace {

const QString vendorId = QStringLiteral("04D8");
const QString productId = QStringLiteral("000A");
const QString portMarkerOpen = QStringLiteral("(COM");
const QString portMarkerClose = QStringLiteral(")");
const QString identityPrefix = QStringLiteral("ZR_SERIES__");

} // namespace

QString hardwareIdField(int n, const QStringList &hardwareIds)
{
    if (hardwareIds.isEmpty())
        return QString("");
    // Unicode properties make \w take letters and digits of any script, as QRegExp did.
    static const QRegularExpression pattern(QStringLiteral("vid_(\\w+)&pid_(\\w+)"),
                                            QRegularExpression::CaseInsensitiveOption |
                                                QRegularExpression::UseUnicodePropertiesOption);
    return pattern.match(hardwareIds.first()).captured(n);
}

bool isToolDevice(const QStringList &hardwareIds)
{
    // Containment, not equality: a longer id that holds the value counts too.
    if (!hardwareIdField(1, hardwareIds).toUpper().contains(vendorId, Qt::CaseSensitive))
        return false;
    return hardwareIdField(2, hardwareIds).toUpper().contains(productId, Qt::CaseSensitive);
}

std::optional<QString> portNameFromFriendlyName(const QString &friendlyName)
{
    const QString name = friendlyName.toUpper();
    if (!name.contains(portMarkerOpen, Qt::CaseSensitive) ||
        !name.contains(portMarkerClose, Qt::CaseSensitive))
        return std::nullopt;
    // Cut at the "COM" that follows "(", so that a name such as
    // "Communications Port (COM1)" gives COM1 rather than a text from "COMMUNICATIONS".
    const int i = name.indexOf(portMarkerOpen, 0, Qt::CaseSensitive) + 1;
    const QString tail = name.right(name.size() - i);
    const int j = tail.indexOf(portMarkerClose, 0, Qt::CaseSensitive);
    return tail.left(j);
}

QString deviceIdFrom(const QString &locationInformation,
                     const std::function<QString()> &productString, IdentitySource *source)
{
    QString value = locationInformation;
    const bool fromLocation = value.contains(identityPrefix, Qt::CaseSensitive);
    if (!fromLocation)
        value = productString();
    if (source)
        *source = fromLocation ? IdentitySource::Location : IdentitySource::Product;
    return value.replace(identityPrefix, QString(""), Qt::CaseSensitive);
}

QList<DeviceEntry> findDevices()
{
    QList<DeviceEntry> entries;
    for (const DiscoveredDevice &device : discoverDevices())
        entries.append(device.entry);
    return entries;
}

QList<DiscoveredDevice> discoverDevices()
{
    QList<DiscoveredDevice> result;
    HDEVINFO deviceInfoSet = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (deviceInfoSet == INVALID_HANDLE_VALUE)
        return result;

    SP_DEVINFO_DATA deviceInfoData;
    std::memset(&deviceInfoData, 0, sizeof deviceInfoData);
    deviceInfoData.cbSize = sizeof deviceInfoData;

    for (DWORD index = 0; SetupDiEnumDeviceInfo(deviceInfoSet, index, &deviceInfoData); ++index) {
        const QStringList hardwareIds =
            readRegistryProperty(deviceInfoSet, &deviceInfoData, SPDRP_HARDWAREID).toStringList();
        if (!isToolDevice(hardwareIds))
            continue;

        const std::optional<QString> portName = portNameFromFriendlyName(
            readRegistryProperty(deviceInfoSet, &deviceInfoData, SPDRP_FRIENDLYNAME).toString());
        if (!portName)
            continue;

        const QString location =
            readRegistryProperty(deviceInfoSet, &deviceInfoData, SPDRP_LOCATION_INFORMATION)
                .toString();
        IdentitySource source;
        const QString deviceId = deviceIdFrom(
            location,
            [&] {
                return readDeviceProperty(deviceInfoSet, &deviceInfoData,
                                          &DEVPKEY_Device_BusReportedDeviceDesc)
                    .toString();
            },
            &source);
        result.append(DiscoveredDevice{DeviceEntry{*portName, deviceId}, source});
    }

    SetupDiDestroyDeviceInfoList(deviceInfoSet);
    return result;
}
