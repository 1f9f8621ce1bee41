// SPDX-License-Identifier: MIT
// Measures the CPU time of reading the USB serial devices from a generated device tree,
// laid out as sysfs lays it out: the tool's two devices alone, then among many foreign USB
// devices without ttys, then among foreign devices that each carry a ttyACM. Checks every
// result. With --umockdev DIR it also writes the three trees as umockdev descriptions
// (alone, foreign, foreign-ttys), for timing a whole run under umockdev-run.
// discoverybench [--devices N] [--ttys N] [--runs N] [--umockdev DIR]
#include "discovery/devicediscovery.h"
#include "platform/standin/usbdevicetree.h"

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

typedef std::vector<std::pair<const char *, QByteArray>> Attributes;

// One folder of the tree: a USB device, an interface or a tty.
struct Node {
    QString path; // below the root, such as devices/pci0000:00/.../1-1.1.1
    const char *subsystem;
    const char *type;
    Attributes attributes;
    QString deviceLink = QString(); // where a tty's device link leads, relative to it
};

bool writeFile(const QString &path, const QByteArray &bytes)
{
    // Tens of thousands of small files: plain system calls keep the set-up short.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && written;
}

// The folders in a plain directory, with the links sysfs has: bus/usb/devices for USB
// devices and interfaces, class/tty for ttys.
bool writeFolders(const QString &root, const std::vector<Node> &nodes)
{
    if (!QDir().mkpath(root + QStringLiteral("/class/tty")) ||
        !QDir().mkpath(root + QStringLiteral("/bus/usb/devices")))
        return false;
    for (const Node &node : nodes) {
        const QString dir = root + QLatin1Char('/') + node.path;
        if (!QDir().mkpath(dir))
            return false;
        for (const auto &attribute : node.attributes) {
            if (!writeFile(dir + QLatin1Char('/') + QLatin1String(attribute.first),
                           attribute.second + '\n'))
                return false;
        }
        const bool tty = qstrcmp(node.subsystem, "tty") == 0;
        const QString link = root + QLatin1String(tty ? "/class/tty/" : "/bus/usb/devices/") +
                             node.path.section(QLatin1Char('/'), -1);
        if (!QFile::link(QLatin1String(tty ? "../../" : "../../../") + node.path, link) ||
            (!node.deviceLink.isEmpty() && !QFile::link(node.deviceLink, dir + "/device")))
            return false;
    }
    return true;
}

// The same folders as a umockdev description: umockdev-run makes the links itself.
QByteArray umockdevText(const std::vector<Node> &nodes)
{
    QByteArray text;
    for (const Node &node : nodes) {
        const QByteArray name = node.path.section(QLatin1Char('/'), -1).toLatin1();
        text += "P: /" + node.path.toLatin1() + "\nE: SUBSYSTEM=" + node.subsystem + '\n';
        if (node.type)
            text += QByteArray("E: DEVTYPE=") + node.type + '\n';
        else // a tty, with its device node
            text += "N: " + name + "\nE: DEVNAME=/dev/" + name + '\n';
        for (const auto &attribute : node.attributes)
            text += QByteArray("A: ") + attribute.first + '=' + attribute.second + "\\n\n";
        if (!node.deviceLink.isEmpty())
            text += "L: device=" + node.deviceLink.toLatin1() + '\n';
        text += '\n';
    }
    return text;
}

// One USB device with one interface, with the attributes a kernel shows for it; a tty
// number of 0 or more gives the interface a ttyACM, as the kernel lays it out.
void addDevice(std::vector<Node> *nodes, int bus, const QString &name, const char *vendor,
               const char *product, const QByteArray &productString, int tty)
{
    const QString dir =
        QStringLiteral("devices/pci0000:00/0000:00:14.0/usb%1/%2").arg(bus).arg(name);
    const QString interface = dir + QLatin1Char('/') + name + QStringLiteral(":1.0");
    if (tty >= 0)
        nodes->push_back({interface + QStringLiteral("/tty/ttyACM%1").arg(tty),
                          "tty",
                          nullptr,
                          {{"dev", "166:0"}},
                          QStringLiteral("../../../") + name + ":1.0"});
    nodes->push_back({interface,
                      "usb",
                      "usb_interface",
                      {{"bInterfaceClass", tty >= 0 ? "02" : "03"},
                       {"bInterfaceSubClass", "00"},
                       {"bInterfaceProtocol", "00"},
                       {"bInterfaceNumber", "00"},
                       {"bAlternateSetting", " 0"},
                       {"bNumEndpoints", "01"},
                       {"modalias", "usb:v0000p0000"},
                       {"supports_autosuspend", "1"}}});
    nodes->push_back({dir,
                      "usb",
                      "usb_device",
                      {{"idVendor", vendor},
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
                       {"urbnum", "12"}}});
}

// The tool's two devices (ttyACM40 and ttyACM41) and `foreign` other USB devices, spread
// over the root hubs up to three hubs deep; the tool's sit at about a third and two thirds
// of the list. With foreignTtys each foreign device carries a ttyACM (from ttyACM100 up);
// with toolOnly, the foreign ones are left out and the tool's keep their places.
std::vector<Node> generateTree(int foreign, bool foreignTtys, bool toolOnly)
{
    std::vector<Node> nodes;
    const int deviceCount = foreign + 2;
    const int perBus = (deviceCount + busCount - 1) / busCount;
    for (int i = 0; i < deviceCount; ++i) {
        const int bus = i / perBus + 1;
        const int k = i % perBus;
        const QString name = QStringLiteral("%1-%2.%3.%4")
                                 .arg(bus)
                                 .arg(k / 49 + 1)
                                 .arg(k / 7 % 7 + 1)
                                 .arg(k % 7 + 1);
        if (i == deviceCount / 3)
            addDevice(&nodes, bus, name, "04d8", "000a", "ZR_SERIES__2", 40);
        else if (i == 2 * deviceCount / 3)
            addDevice(&nodes, bus, name, "04d8", "000a", "ZR_SERIES__1", 41);
        else if (!toolOnly)
            addDevice(&nodes, bus, name, "046d", "c52b", "Receiver", foreignTtys ? 100 + i : -1);
    }
    return nodes;
}

double cpuMilliseconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Discovery's rules over what the tree reader found: the same entries findDevices() gives
// on a tree at /sys.
QList<DeviceEntry> toolDevices(const QList<UsbSerialDevice> &devices)
{
    QList<DeviceEntry> entries;
    for (const UsbSerialDevice &device : devices) {
        const std::optional<QString> port = portNameFromFriendlyName(device.friendlyName);
        if (isToolDevice(device.hardwareIds) && port)
            entries.append({*port, deviceIdFrom(device.location.value_or(QString()), [&] {
                                return usbProductString(device.dir).value_or(QString());
                            })});
    }
    return entries;
}

// The median CPU time of reading the tree at root `runs` times; -1 after a wrong result.
double medianCpu(const QString &root, int runs, int serialDevices)
{
    const QList<DeviceEntry> expected = {{QStringLiteral("COM41"), QStringLiteral("2")},
                                         {QStringLiteral("COM42"), QStringLiteral("1")}};
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const double start = cpuMilliseconds();
        const std::optional<QList<UsbSerialDevice>> devices = usbSerialDevices(root);
        const QList<DeviceEntry> found = devices ? toolDevices(*devices) : QList<DeviceEntry>();
        times.push_back(cpuMilliseconds() - start);
        const bool same = found.size() == 2 && found.at(0).portName == expected.at(0).portName &&
                          found.at(0).deviceId == expected.at(0).deviceId &&
                          found.at(1).portName == expected.at(1).portName &&
                          found.at(1).deviceId == expected.at(1).deviceId;
        if (!same || devices->size() != serialDevices) {
            std::fprintf(stderr,
                         "discoverybench: %d serial devices and %d of the tool's found, expected "
                         "%d, with COM41 2 and COM42 1\n",
                         devices ? int(devices->size()) : -1, int(found.size()), serialDevices);
            return -1;
        }
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int foreign = 1000;
    int withTty = -1;
    int runs = 30;
    QString umockdevDir;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--devices"))
            foreign = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--ttys"))
            withTty = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--runs"))
            runs = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--umockdev"))
            umockdevDir = args.at(i + 1);
    }
    if (withTty < 0)
        withTty = std::max(1, foreign / 10);
    if (foreign < 1 || withTty < 1 || runs < 1) {
        std::fprintf(stderr, "usage: discoverybench [--devices N (foreign, 1 or more)] "
                             "[--ttys N (foreign with a ttyACM, 1 or more)] [--runs N] "
                             "[--umockdev DIR]\n");
        return 2;
    }

    struct Tree {
        const char *name;
        int foreign;
        bool foreignTtys;
        bool toolOnly;
        double cpu;
    } trees[] = {{"alone", foreign, false, true, 0},
                 {"foreign", foreign, false, false, 0},
                 {"foreign-ttys", withTty, true, false, 0}};
    for (Tree &tree : trees) {
        const std::vector<Node> nodes = generateTree(tree.foreign, tree.foreignTtys, tree.toolOnly);
        QTemporaryDir root;
        if (!root.isValid() || !writeFolders(root.path(), nodes) ||
            (!umockdevDir.isEmpty() &&
             !writeFile(umockdevDir + QStringLiteral("/%1.umockdev").arg(tree.name),
                        umockdevText(nodes)))) {
            std::fprintf(stderr, "discoverybench: cannot write the %s tree\n", tree.name);
            return 1;
        }
        tree.cpu = medianCpu(root.path(), runs, 2 + (tree.foreignTtys ? tree.foreign : 0));
        if (tree.cpu < 0)
            return 1;
    }
    std::printf("the tool's 2 devices alone: median %.3f ms CPU over %d reads of the tree\n",
                trees[0].cpu, runs);
    std::printf("%d foreign USB devices without ttys add %.3f ms (median %.3f ms)\n", foreign,
                trees[1].cpu - trees[0].cpu, trees[1].cpu);
    std::printf("%d foreign USB devices with a ttyACM each add %.3f ms (median %.3f ms, %.1f us "
                "a device)\n",
                withTty, trees[2].cpu - trees[0].cpu, trees[2].cpu,
                withTty ? (trees[2].cpu - trees[0].cpu) * 1000 / withTty : 0.0);
    return 0;
}
