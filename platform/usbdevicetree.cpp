#include "usbdevicetree.h"

#include <QFile>

#include <algorithm>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Sysfs attributes are at most a page; anything longer is not an attribute we understand.
const int maxAttributeSize = 4096;

// Plain system calls: discovery reads a few small files of every device in the tree, and
// QFile's own work would be most of the cost.
std::optional<QByteArray> readAttribute(const QString &dir, const char *name)
{
    const QByteArray path = QFile::encodeName(dir) + '/' + name;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray bytes(maxAttributeSize + 1, Qt::Uninitialized);
    int size = 0;
    while (size < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + size, size_t(bytes.size() - size));
        if (n <= 0) {
            if (n < 0) {
                ::close(fd);
                return std::nullopt;
            }
            break;
        }
        size += int(n);
    }
    ::close(fd);
    if (size > maxAttributeSize)
        return std::nullopt;
    bytes.truncate(size);
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    return bytes;
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A 16-bit id such as idVendor: exactly four hexadecimal digits.
std::optional<QString> readHexId(const QString &dir, const char *name)
{
    const std::optional<QByteArray> bytes = readAttribute(dir, name);
    if (!bytes)
        return std::nullopt;
    const QByteArray text = bytes->trimmed();
    if (text.size() != 4 || !std::all_of(text.begin(), text.end(), isHexDigit))
        return std::nullopt;
    return QString::fromLatin1(text.toUpper());
}

bool isDirectory(const QByteArray &parent, const dirent *entry)
{
    if (entry->d_type == DT_DIR)
        return true;
    if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
        return false;
    struct stat status;
    return ::stat((parent + '/' + entry->d_name).constData(), &status) == 0 &&
           S_ISDIR(status.st_mode);
}

// The names of the folders in dir that start with prefix, sorted; none when dir cannot be read.
QList<QByteArray> folders(const QByteArray &dir, const QByteArray &prefix)
{
    QList<QByteArray> names;
    DIR *stream = ::opendir(dir.constData());
    if (!stream)
        return names;
    while (const dirent *entry = ::readdir(stream)) {
        const QByteArray name(entry->d_name);
        if (name.startsWith(prefix) && name != "." && name != ".." && isDirectory(dir, entry))
            names.append(name);
    }
    ::closedir(stream);
    std::sort(names.begin(), names.end());
    return names;
}

// text is a number of 1 to maxDigits decimal digits.
bool isNumber(const QByteArray &text, int maxDigits)
{
    return !text.isEmpty() && text.size() <= maxDigits &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The ACM tty number of the first interface that has one, or -1. Only a tool's device gets
// this far, so the plain listing of a few folders is all it costs.
long long acmTtyNumber(const QString &deviceDir, const QString &busName)
{
    const QByteArray device = QFile::encodeName(deviceDir);
    for (const QByteArray &interface : folders(device, QFile::encodeName(busName) + ':')) {
        // Current kernels group ttys in a tty/ folder; older ones put them beside it.
        for (const char *sub : {"/tty", ""}) {
            for (const QByteArray &name : folders(device + '/' + interface + sub, "ttyACM")) {
                const QByteArray number = name.mid(6);
                if (isNumber(number, 9))
                    return number.toLongLong();
            }
        }
    }
    return -1;
}

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

} // namespace

bool busNameLessThan(const QString &a, const QString &b)
{
    int i = 0;
    int j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a.at(i)) && isDigit(b.at(j))) {
            // Compare the two numbers by their digits, so that no length overflows.
            while (i < a.size() - 1 && a.at(i) == QLatin1Char('0') && isDigit(a.at(i + 1)))
                ++i;
            while (j < b.size() - 1 && b.at(j) == QLatin1Char('0') && isDigit(b.at(j + 1)))
                ++j;
            int endA = i;
            int endB = j;
            while (endA < a.size() && isDigit(a.at(endA)))
                ++endA;
            while (endB < b.size() && isDigit(b.at(endB)))
                ++endB;
            if (endA - i != endB - j)
                return endA - i < endB - j;
            for (; i < endA; ++i, ++j) {
                if (a.at(i) != b.at(j))
                    return a.at(i) < b.at(j);
            }
        } else {
            if (a.at(i) != b.at(j))
                return a.at(i) < b.at(j);
            ++i;
            ++j;
        }
    }
    if (i < a.size() || j < b.size())
        return j < b.size();
    // Equal as numbers (01 and 1): keep a strict order all the same.
    return a < b;
}

bool listUsbDevices(const QString &sysRoot, QStringList *busNames)
{
    const QByteArray path = QFile::encodeName(sysRoot) + "/bus/usb/devices";
    DIR *dir = ::opendir(path.constData());
    if (!dir)
        return false;
    busNames->clear();
    while (const dirent *entry = ::readdir(dir)) {
        // Hidden entries and . and .. are no devices; interfaces are named after their
        // device with a colon (1-2:1.0).
        if (entry->d_name[0] == '.' || std::strchr(entry->d_name, ':'))
            continue;
        busNames->append(QFile::decodeName(entry->d_name));
    }
    ::closedir(dir);
    std::sort(busNames->begin(), busNames->end(), busNameLessThan);
    return true;
}

std::optional<QStringList> usbHardwareIds(const QString &deviceDir)
{
    const std::optional<QString> vendor = readHexId(deviceDir, "idVendor");
    if (!vendor)
        return std::nullopt;
    const std::optional<QString> product = readHexId(deviceDir, "idProduct");
    if (!product)
        return std::nullopt;
    QStringList ids;
    const QString id = QStringLiteral("USB\\VID_") + *vendor + QStringLiteral("&PID_") + *product;
    if (const std::optional<QString> revision = readHexId(deviceDir, "bcdDevice"))
        ids << id + QStringLiteral("&REV_") + *revision;
    ids << id;
    return ids;
}

std::optional<QString> usbFriendlyName(const QString &deviceDir, const QString &busName)
{
    const long long tty = acmTtyNumber(deviceDir, busName);
    if (tty < 0)
        return std::nullopt;
    return QStringLiteral("USB Serial Device (COM%1)").arg(tty + 1);
}

// Windows describes a device's place as the port on its parent hub and the hub: here the
// last number of the port path and the bus number.
std::optional<QString> usbLocationInformation(const QString &busName)
{
    const QByteArray name = busName.toLatin1();
    const int dash = name.indexOf('-');
    const QByteArray bus = name.left(dash);
    const QList<QByteArray> ports = name.mid(dash + 1).split('.');
    if (dash < 0 || !isNumber(bus, 4) ||
        !std::all_of(ports.begin(), ports.end(),
                     [](const QByteArray &port) { return isNumber(port, 4); }))
        return std::nullopt;
    return QStringLiteral("Port_#%1.Hub_#%2")
        .arg(ports.last().toInt(), 4, 10, QLatin1Char('0'))
        .arg(bus.toInt(), 4, 10, QLatin1Char('0'));
}

std::optional<QString> usbProductString(const QString &deviceDir)
{
    if (const std::optional<QByteArray> name = readAttribute(deviceDir, "product"))
        return QString::fromUtf8(*name);
    return std::nullopt;
}
