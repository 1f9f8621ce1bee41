// Measures the CPU time of findDevices() over a generated device tree: many foreign USB
// devices and two of the tool's, laid out as sysfs lays them out. Checks every result.
// discoverybench [--devices N] [--runs N]
#include "discovery/devicediscovery.h"
#include "platform/setupapi.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

const int busCount = 8;

bool writeFile(const QString &path, const QByteArray &bytes)
{
    // Tens of thousands of small files: plain system calls keep the set-up short.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && written;
}

bool writeAttributes(const QString &dir,
                     const std::vector<std::pair<const char *, QByteArray>> &all)
{
    if (!QDir().mkpath(dir))
        return false;
    for (const auto &attribute : all) {
        if (!writeFile(dir + QLatin1Char('/') + QLatin1String(attribute.first),
                       attribute.second + '\n'))
            return false;
    }
    return true;
}

// One USB device with one interface, with the attributes a kernel shows for it; a tty
// number of 0 or more gives the interface a ttyACM.
bool addDevice(const QString &root, int bus, const QString &name, const char *vendor,
               const char *product, const QByteArray &productString, int tty)
{
    const QString path =
        QStringLiteral("devices/pci0000:00/0000:00:14.0/usb%1/%2").arg(bus).arg(name);
    const QString dir = root + QLatin1Char('/') + path;
    const QString interface = name + QStringLiteral(":1.0");
    const bool ok = writeAttributes(dir, {{"idVendor", vendor},
                                          {"idProduct", product},
                                          {"bcdDevice", "0100"},
                                          {"product", productString},
                                          {"manufacturer", "Maker"},
                                          {"serial", "0001"},
                                          {"busnum", QByteArray::number(bus)},
                                          {"devnum", "2"},
                                          {"devpath", name.toLatin1()},
                                          {"speed", "12"},
                                          {"version", " 2.00"},
                                          {"bDeviceClass", "00"},
                                          {"bDeviceSubClass", "00"},
                                          {"bDeviceProtocol", "00"},
                                          {"bNumConfigurations", "1"},
                                          {"bNumInterfaces", " 1"},
                                          {"bConfigurationValue", "1"},
                                          {"bmAttributes", "80"},
                                          {"bMaxPower", "100mA"},
                                          {"maxchild", "0"},
                                          {"removable", "removable"},
                                          {"authorized", "1"},
                                          {"quirks", "0x0"},
                                          {"urbnum", "12"},
                                          {"uevent", "DEVTYPE=usb_device"}}) &&
                    writeAttributes(dir + QStringLiteral("/power"), {{"control", "on"}}) &&
                    writeAttributes(dir + QStringLiteral("/ep_00"), {{"type", "Control"}}) &&
                    writeAttributes(dir + QLatin1Char('/') + interface,
                                    {{"bInterfaceClass", tty >= 0 ? "02" : "03"},
                                     {"bInterfaceSubClass", "00"},
                                     {"bInterfaceProtocol", "00"},
                                     {"bInterfaceNumber", "00"},
                                     {"bAlternateSetting", " 0"},
                                     {"bNumEndpoints", "01"},
                                     {"modalias", "usb:v0000p0000"},
                                     {"supports_autosuspend", "1"},
                                     {"uevent", "DEVTYPE=usb_interface"}}) &&
                    (tty < 0 || writeAttributes(dir + QLatin1Char('/') + interface +
                                                    QStringLiteral("/tty/ttyACM%1").arg(tty),
                                                {{"dev", "166:0"}}));
    const QString back = QStringLiteral("../../../") + path;
    return ok && QFile::link(back, root + QStringLiteral("/bus/usb/devices/") + name) &&
           QFile::link(back + QLatin1Char('/') + interface,
                       root + QStringLiteral("/bus/usb/devices/") + interface);
}

// deviceCount USB devices spread over the root hubs, up to three hubs deep; the tool's
// two devices sit at about a third and two thirds of the list.
bool generateTree(const QString &root, int deviceCount, int *first, int *second)
{
    if (!QDir().mkpath(root + QStringLiteral("/bus/usb/devices")))
        return false;
    const int perBus = (deviceCount + busCount - 1) / busCount;
    *first = deviceCount / 3;
    *second = 2 * deviceCount / 3;
    for (int i = 0; i < deviceCount; ++i) {
        const int bus = i / perBus + 1;
        const int k = i % perBus;
        const QString name = QStringLiteral("%1-%2.%3.%4")
                                 .arg(bus)
                                 .arg(k / 49 + 1)
                                 .arg(k / 7 % 7 + 1)
                                 .arg(k % 7 + 1);
        bool ok;
        if (i == *first)
            ok = addDevice(root, bus, name, "04d8", "000a", "ZR_SERIES__2", 40);
        else if (i == *second)
            ok = addDevice(root, bus, name, "04d8", "000a", "ZR_SERIES__1", 41);
        else
            ok = addDevice(root, bus, name, "046d", "c52b", "Receiver", -1);
        if (!ok)
            return false;
    }
    return true;
}

double cpuMilliseconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int deviceCount = 1000;
    int runs = 30;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--devices"))
            deviceCount = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--runs"))
            runs = args.at(i + 1).toInt();
    }
    if (deviceCount < 3 || runs < 1) {
        std::fprintf(stderr, "usage: discoverybench [--devices N (3 or more)] [--runs N]\n");
        return 2;
    }

    QTemporaryDir root;
    int first = 0;
    int second = 0;
    if (!root.isValid() || !generateTree(root.path(), deviceCount, &first, &second)) {
        std::fprintf(stderr, "discoverybench: cannot generate the device tree\n");
        return 1;
    }
    standInSetSysRoot(QFile::encodeName(root.path()).constData());

    // The first call pays the one-time costs that a real run pays; the others show the
    // cost per device.
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const double start = cpuMilliseconds();
        const QList<DeviceEntry> found = findDevices();
        times.push_back(cpuMilliseconds() - start);
        const QList<DeviceEntry> expected = {{QStringLiteral("COM41"), QStringLiteral("2")},
                                             {QStringLiteral("COM42"), QStringLiteral("1")}};
        if (found.size() != expected.size() || found.at(0).portName != expected.at(0).portName ||
            found.at(0).deviceId != expected.at(0).deviceId ||
            found.at(1).portName != expected.at(1).portName ||
            found.at(1).deviceId != expected.at(1).deviceId) {
            std::fprintf(stderr,
                         "discoverybench: findDevices() found %d devices, expected "
                         "COM41 2 and COM42 1\n",
                         int(found.size()));
            return 1;
        }
    }
    const double firstCall = times.front();
    std::sort(times.begin(), times.end());
    std::printf("%d devices, 2 matching: first call %.2f ms CPU; over %d calls min %.2f, "
                "median %.2f ms (%.1f us a device)\n",
                deviceCount, firstCall, runs, times.front(), times[times.size() / 2],
                times[times.size() / 2] * 1000 / deviceCount);
    return 0;
}
