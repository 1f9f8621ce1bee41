// SPDX-License-Identifier: MIT
#include "platform/standin/usbdevicetree.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <climits>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Sysfs attributes are at most a page; anything longer is not an attribute we understand.
const int maxAttributeSize = 4096;

// c is a digit of base 10, or of base 16 in either case.
bool isDigit(int c, int base = 10)
{
    return (c >= '0' && c <= '9') || (base == 16 && (c | 0x20) >= 'a' && (c | 0x20) <= 'f');
}

// text is a number of 1 to maxDigits digits.
bool isNumber(const QByteArray &text, int maxDigits, int base = 10)
{
    return !text.isEmpty() && text.size() <= maxDigits &&
           std::all_of(text.begin(), text.end(), [base](char c) { return isDigit(c, base); });
}

// Plain system calls: QFile's own work would be most of the cost of these small reads.
std::optional<QByteArray> readAttribute(const QString &dir, const char *name)
{
    const int fd = ::open(QFile::encodeName(dir + '/' + QLatin1String(name)).constData(),
                          O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray bytes(maxAttributeSize + 1, Qt::Uninitialized);
    int size = 0;
    ssize_t n = 0;
    while (size < bytes.size() &&
           (n = ::read(fd, bytes.data() + size, size_t(bytes.size() - size))) > 0)
        size += int(n);
    ::close(fd);
    if (n < 0 || size > maxAttributeSize)
        return std::nullopt;
    bytes.truncate(size);
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    return bytes;
}

// A 16-bit id such as idVendor, exactly four hexadecimal digits, in upper case.
std::optional<QString> readHexId(const QString &dir, const char *name)
{
    const std::optional<QByteArray> bytes = readAttribute(dir, name);
    const QByteArray text = bytes ? bytes->trimmed() : QByteArray();
    if (text.size() != 4 || !isNumber(text, 4, 16))
        return std::nullopt;
    return QString::fromLatin1(text.toUpper());
}

// A ttyACM and where it sits: its USB device, and the interface (1-2:1.0) it hangs off.
struct AcmTty {
    QString deviceDir;
    QString busName;
    QString interface;
    long long number;
};

// The ttyACM entries of classDir that lie below a USB interface: a folder named after its
// device and a colon. The tty may sit in the interface's tty/ folder or beside it.
std::optional<QList<AcmTty>> acmTtys(const QString &classDir)
{
    const QByteArray dir = QFile::encodeName(classDir);
    DIR *stream = ::opendir(dir.constData());
    if (!stream)
        return std::nullopt;
    QList<AcmTty> ttys;
    while (const dirent *entry = ::readdir(stream)) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith("ttyACM") || !isNumber(name.mid(6), 9))
            continue;
        // The class entry links to the tty's place in the device tree, relative to itself.
        char target[PATH_MAX];
        const ssize_t n = ::readlink((dir + '/' + name).constData(), target, sizeof target);
        if (n <= 0 || size_t(n) >= sizeof target)
            continue;
        const QStringList folders =
            QDir::cleanPath(classDir + '/' + QFile::decodeName(QByteArray(target, int(n))))
                .split('/');
        for (int i = folders.size() - 2; i >= 2; --i) {
            if (folders.at(i).startsWith(folders.at(i - 1) + ':')) {
                ttys.append({folders.mid(0, i).join('/'), folders.at(i - 1), folders.at(i),
                             name.mid(6).toLongLong()});
                break;
            }
        }
    }
    ::closedir(stream);
    return ttys;
}

// The run of digits at *i without its leading zeros (but a last one); *i moves past it.
QString digitRun(const QString &text, int *i)
{
    int start = *i;
    while (*i < text.size() && isDigit(text.at(*i).unicode()))
        ++*i;
    while (start < *i - 1 && text.at(start) == QLatin1Char('0'))
        ++start;
    return text.mid(start, *i - start);
}

} // namespace

bool busNameLessThan(const QString &a, const QString &b)
{
    int i = 0;
    int j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a.at(i).unicode()) && isDigit(b.at(j).unicode())) {
            // Numbers compare by their digits, so that no length overflows.
            const QString x = digitRun(a, &i);
            const QString y = digitRun(b, &j);
            if (x != y)
                return x.size() != y.size() ? x.size() < y.size() : x < y;
        } else if (a.at(i) != b.at(j)) {
            return a.at(i) < b.at(j);
        } else {
            ++i;
            ++j;
        }
    }
    if (i < a.size() || j < b.size())
        return j < b.size();
    // Equal as numbers (01 and 1): keep a strict order all the same.
    return a < b;
}

std::optional<QList<UsbSerialDevice>> usbSerialDevices(const QString &sysRoot)
{
    std::optional<QList<AcmTty>> found = acmTtys(sysRoot + QStringLiteral("/class/tty"));
    if (!found)
        return std::nullopt;
    QList<AcmTty> &ttys = *found;
    // A device's first tty comes first: by bus name, then interface, then tty number.
    std::sort(ttys.begin(), ttys.end(), [](const AcmTty &a, const AcmTty &b) {
        return a.busName != b.busName       ? busNameLessThan(a.busName, b.busName)
               : a.interface != b.interface ? busNameLessThan(a.interface, b.interface)
                                            : a.number < b.number;
    });
    QList<UsbSerialDevice> devices;
    for (int i = 0; i < ttys.size(); ++i) {
        const AcmTty &tty = ttys.at(i);
        if (i > 0 && ttys.at(i - 1).busName == tty.busName)
            continue;
        const std::optional<QString> vendor = readHexId(tty.deviceDir, "idVendor");
        const std::optional<QString> product = readHexId(tty.deviceDir, "idProduct");
        if (!vendor || !product)
            continue;
        UsbSerialDevice device;
        device.busName = tty.busName;
        const QString id =
            QStringLiteral("USB\\VID_") + *vendor + QStringLiteral("&PID_") + *product;
        if (const std::optional<QString> revision = readHexId(tty.deviceDir, "bcdDevice"))
            device.hardwareIds << id + QStringLiteral("&REV_") + *revision;
        device.hardwareIds << id;
        device.friendlyName = QStringLiteral("USB Serial Device (COM%1)").arg(tty.number + 1);
        device.location = usbLocationInformation(tty.busName);
        device.dir = tty.deviceDir;
        devices.append(device);
    }
    return devices;
}

std::optional<QString> usbProductString(const QString &deviceDir)
{
    if (const std::optional<QByteArray> name = readAttribute(deviceDir, "product"))
        return QString::fromUtf8(*name);
    return std::nullopt;
}

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
