// SPDX-License-Identifier: MIT
#include "devicediscovery.h"

#include "platform/setupapi.h"
#include "propertyreader.h"

#include <cstring>

namespace {

const QString vendorId = QStringLiteral("04D8");
const QString productId = QStringLiteral("000A");
const QString portMarkerOpen = QStringLiteral("(COM");
const QString portMarkerClose = QStringLiteral(")");
const QString identityPrefix = QStringLiteral("ZR_SERIES__");
const QLatin1String vidMarker("vid_");
const QLatin1String pidMarker("&pid_");

// Whether text holds marker (lower case ASCII) at index, in either case. Only ASCII letters
// match: no other character folds to these letters.
bool startsWithAsciiCaseless(const QString &text, int index, QLatin1String marker)
{
    if (index + marker.size() > text.size())
        return false;
    for (int i = 0; i < marker.size(); ++i) {
        const ushort c = text.at(index + i).unicode();
        const ushort lower = (c >= 'A' && c <= 'Z') ? ushort(c + ('a' - 'A')) : c;
        if (lower != ushort(marker.at(i).unicode()))
            return false;
    }
    return true;
}

// The end of the run of word characters that starts at index: letters and numbers of any
// script (a character beyond 16 bits is a surrogate pair) and the underscore. The text is
// valid UTF-16.
int wordRunEnd(const QString &text, int index)
{
    while (index < text.size()) {
        uint c = text.at(index).unicode();
        int units = 1;
        if (QChar::isHighSurrogate(c)) {
            c = QChar::surrogateToUcs4(text.at(index), text.at(index + 1));
            units = 2;
        }
        if (c != '_' && !QChar::isLetterOrNumber(c))
            break;
        index += units;
    }
    return index;
}

} // namespace

QString hardwareIdField(int n, const QStringList &hardwareIds)
{
    if (hardwareIds.isEmpty())
        return QString("");
    // The leftmost match of the pattern, found by hand: compiling it would cost more than
    // all the rest of discovery. A word run ends at the first non-word character, so no
    // shorter run could be followed by "&pid_" instead.
    const QString &id = hardwareIds.first();
    // Text that is not valid UTF-16 (a lone surrogate) matches nothing, as with PCRE2.
    if (!QStringView(id).isValidUtf16())
        return QString();
    for (int at = 0; at + vidMarker.size() <= id.size(); ++at) {
        if (!startsWithAsciiCaseless(id, at, vidMarker))
            continue;
        const int vendorStart = at + int(vidMarker.size());
        const int vendorEnd = wordRunEnd(id, vendorStart);
        if (vendorEnd == vendorStart || !startsWithAsciiCaseless(id, vendorEnd, pidMarker))
            continue;
        const int productStart = vendorEnd + int(pidMarker.size());
        const int productEnd = wordRunEnd(id, productStart);
        if (productEnd == productStart)
            continue;
        if (n == 1)
            return id.mid(vendorStart, vendorEnd - vendorStart);
        return n == 2 ? id.mid(productStart, productEnd - productStart) : QString();
    }
    return QString();
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
