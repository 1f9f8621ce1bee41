#include "usbdevicetree.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>

namespace {

// Sysfs attributes are at most a page; anything longer is not an attribute we understand.
const qint64 maxAttributeSize = 4096;

std::optional<QByteArray> readAttribute(const QString &dir, const QString &name)
{
    QFile file(dir + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.read(maxAttributeSize + 1);
    if (bytes.size() > maxAttributeSize)
        return std::nullopt;
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    return bytes;
}

// A 16-bit id such as idVendor: exactly four hexadecimal digits.
std::optional<QString> readHexId(const QString &dir, const QString &name)
{
    static const QRegularExpression fourHexDigits(QStringLiteral("\\A[0-9A-Fa-f]{4}\\z"));
    const std::optional<QByteArray> bytes = readAttribute(dir, name);
    if (!bytes)
        return std::nullopt;
    const QString text = QString::fromLatin1(bytes->trimmed());
    if (!fourHexDigits.match(text).hasMatch())
        return std::nullopt;
    return text.toUpper();
}

// The ACM tty number of the first interface that has one, or -1.
long long acmTtyNumber(const QDir &device, const QString &busName)
{
    static const QRegularExpression acm(QStringLiteral("\\AttyACM([0-9]{1,9})\\z"));
    const QStringList interfaces = device.entryList({busName + QStringLiteral(":*")},
                                                    QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &interface : interfaces) {
        // Current kernels group ttys in a tty/ folder; older ones put them beside it.
        for (const QString &sub : {QStringLiteral("/tty"), QString()}) {
            const QDir ttys(device.filePath(interface) + sub);
            const QStringList names = ttys.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
            for (const QString &name : names) {
                const QRegularExpressionMatch match = acm.match(name);
                if (match.hasMatch())
                    return match.captured(1).toLongLong();
            }
        }
    }
    return -1;
}

// Windows describes a device's place as the port on its parent hub and the hub: here the
// last number of the port path and the bus number.
std::optional<QString> locationOf(const QString &busName)
{
    static const QRegularExpression portPath(
        QStringLiteral("\\A([0-9]{1,4})-(?:[0-9]{1,4}\\.)*([0-9]{1,4})\\z"));
    const QRegularExpressionMatch match = portPath.match(busName);
    if (!match.hasMatch())
        return std::nullopt;
    return QStringLiteral("Port_#%1.Hub_#%2")
        .arg(match.captured(2).toInt(), 4, 10, QLatin1Char('0'))
        .arg(match.captured(1).toInt(), 4, 10, QLatin1Char('0'));
}

std::optional<UsbDeviceRecord> readDevice(const QDir &devices, const QString &busName)
{
    const QString dir = devices.filePath(busName);
    const std::optional<QString> vendor = readHexId(dir, QStringLiteral("idVendor"));
    const std::optional<QString> product = readHexId(dir, QStringLiteral("idProduct"));
    if (!vendor || !product)
        return std::nullopt;

    UsbDeviceRecord record;
    record.busName = busName;
    const QString ids = QStringLiteral("USB\\VID_%1&PID_%2").arg(*vendor, *product);
    if (const std::optional<QString> revision = readHexId(dir, QStringLiteral("bcdDevice")))
        record.hardwareIds << ids + QStringLiteral("&REV_") + *revision;
    record.hardwareIds << ids;

    const long long tty = acmTtyNumber(QDir(dir), busName);
    if (tty >= 0)
        record.friendlyName = QStringLiteral("USB Serial Device (COM%1)").arg(tty + 1);
    record.locationInformation = locationOf(busName);
    if (const std::optional<QByteArray> name = readAttribute(dir, QStringLiteral("product")))
        record.productString = QString::fromUtf8(*name);
    return record;
}

} // namespace

bool readUsbDeviceTree(const QString &sysRoot, QList<UsbDeviceRecord> *devices)
{
    const QDir dir(sysRoot + QStringLiteral("/bus/usb/devices"));
    if (!dir.exists())
        return false;
    QStringList names = dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    // Interfaces are named after their device with a colon (1-2:1.0).
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const QString &name) { return name.contains(QLatin1Char(':')); }),
                names.end());
    // Numeric collation needs a real locale; the C locale compares digit by digit.
    QCollator natural(QLocale(QLocale::English, QLocale::UnitedStates));
    natural.setNumericMode(true);
    std::sort(names.begin(), names.end(), natural);

    devices->clear();
    for (const QString &name : names) {
        if (std::optional<UsbDeviceRecord> record = readDevice(dir, name))
            devices->append(*record);
    }
    return true;
}
