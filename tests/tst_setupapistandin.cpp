// SPDX-License-Identifier: MIT
// Runs under umockdev-run with a simulated device tree; MORVEK_EXPECTED names a file with
// the devices findDevices() must return, one "PORT ID" line each, in order.
#include "discovery/devicediscovery.h"
#include "discovery/propertyreader.h"
#include "platform/setupapi.h"
#include "platform/standin/usbdevicetree.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <cstring>

namespace {

SP_DEVINFO_DATA freshRecord()
{
    SP_DEVINFO_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    return data;
}

HDEVINFO usbDevices()
{
    return SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

// The USB device set of the testbed, released however the test function ends.
struct UsbDeviceSet {
    HDEVINFO handle = usbDevices();
    ~UsbDeviceSet()
    {
        if (handle != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(handle);
    }
    bool fetch(DWORD index, SP_DEVINFO_DATA *data) const
    {
        return handle != INVALID_HANDLE_VALUE && SetupDiEnumDeviceInfo(handle, index, data);
    }
};

// The index of the device with the given friendly name, or -1.
int indexOfFriendlyName(HDEVINFO set, const QString &name)
{
    SP_DEVINFO_DATA data = freshRecord();
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        if (readRegistryProperty(set, &data, SPDRP_FRIENDLYNAME).toString() == name)
            return int(i);
    }
    return -1;
}

} // namespace

class SetupApiStandInTest : public QObject
{
    Q_OBJECT

private slots:
    void findDevicesAsListed();
    void setAndEnumeration();
    void otherSetsAreRefused();
    void propertiesOfAMatchingDevice();
    void sizeQueryAndShortBuffers();
    void absentProperties();
    void busNameOrder_data();
    void busNameOrder();
    void locations_data();
    void locations();
};

void SetupApiStandInTest::findDevicesAsListed()
{
    QList<DeviceEntry> expected;
    const QString path = qEnvironmentVariable("MORVEK_EXPECTED");
    if (!path.isEmpty()) {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            const int space = line.indexOf(' ');
            expected.append(
                {QString::fromUtf8(line.left(space)), QString::fromUtf8(line.mid(space + 1))});
        }
    }
    const QList<DeviceEntry> found = findDevices();
    QCOMPARE(found.size(), expected.size());
    for (int i = 0; i < found.size(); ++i) {
        QCOMPARE(found.at(i).portName, expected.at(i).portName);
        QCOMPARE(found.at(i).deviceId, expected.at(i).deviceId);
    }
}

void SetupApiStandInTest::setAndEnumeration()
{
    HDEVINFO set = usbDevices();
    if (!QDir(QStringLiteral("/sys/class/tty")).exists()) {
        QCOMPARE(set, INVALID_HANDLE_VALUE);
        return;
    }
    QVERIFY(set != INVALID_HANDLE_VALUE);

    SP_DEVINFO_DATA data = freshRecord();
    DWORD count = 0;
    while (SetupDiEnumDeviceInfo(set, count, &data))
        ++count;
    QVERIFY(!SetupDiEnumDeviceInfo(set, count + 1000, &data));

    SP_DEVINFO_DATA wrongSize = freshRecord();
    wrongSize.cbSize = 4;
    QVERIFY(!SetupDiEnumDeviceInfo(set, 0, &wrongSize));

    QVERIFY(SetupDiDestroyDeviceInfoList(set));
    QVERIFY(!SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE));
}

// The stand-in opens only the set that discovery asks for.
void SetupApiStandInTest::otherSetsAreRefused()
{
    const GUID hubs = {
        0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
    const DWORD flags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
    QCOMPARE(SetupDiGetClassDevsW(&hubs, nullptr, nullptr, flags), INVALID_HANDLE_VALUE);
    QCOMPARE(SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, u"USB", nullptr, flags),
             INVALID_HANDLE_VALUE);
    QCOMPARE(SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr, DIGCF_PRESENT),
             INVALID_HANDLE_VALUE);
}

void SetupApiStandInTest::propertiesOfAMatchingDevice()
{
    const UsbDeviceSet devices;
    const HDEVINFO set = devices.handle;
    const int index = indexOfFriendlyName(set, QStringLiteral("USB Serial Device (COM2)"));
    if (index < 0)
        QSKIP("this testbed has no device on ttyACM1");
    SP_DEVINFO_DATA data = freshRecord();
    QVERIFY(devices.fetch(DWORD(index), &data));

    // The simulated device 1-2 on bus 1: 04d8:000a, release 01.00, product ZR_SERIES__2.
    const QVariant ids = readRegistryProperty(set, &data, SPDRP_HARDWAREID);
    QCOMPARE(ids.userType(), int(QMetaType::QStringList));
    QCOMPARE(ids.toStringList(), (QStringList{QStringLiteral("USB\\VID_04D8&PID_000A&REV_0100"),
                                              QStringLiteral("USB\\VID_04D8&PID_000A")}));
    QCOMPARE(readRegistryProperty(set, &data, SPDRP_LOCATION_INFORMATION).toString(),
             QStringLiteral("Port_#0002.Hub_#0001"));
    const QVariant product = readDeviceProperty(set, &data, &DEVPKEY_Device_BusReportedDeviceDesc);
    QCOMPARE(product.userType(), int(QMetaType::QString));
    QCOMPARE(product.toString(), QStringLiteral("ZR_SERIES__2"));
}

void SetupApiStandInTest::sizeQueryAndShortBuffers()
{
    const UsbDeviceSet devices;
    const HDEVINFO set = devices.handle;
    SP_DEVINFO_DATA data = freshRecord();
    if (!devices.fetch(0, &data))
        QSKIP("no USB device in this testbed");

    DWORD type = 0;
    DWORD size = 0;
    QVERIFY(
        !SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &size));
    QCOMPARE(type, REG_MULTI_SZ);
    QVERIFY(size >= 4 && size % 2 == 0);

    QByteArray buffer(int(size), '\x55');
    DWORD needed = 0;
    QVERIFY(!SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<PBYTE>(buffer.data()), size - 1,
                                               &needed));
    QCOMPARE(needed, size);
    QVERIFY(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr,
                                              reinterpret_cast<PBYTE>(buffer.data()), size,
                                              nullptr));
    // The list ends with an empty text: two NUL code units.
    QCOMPARE(buffer.right(4), QByteArray(4, '\0'));
}

void SetupApiStandInTest::absentProperties()
{
    const UsbDeviceSet devices;
    const HDEVINFO set = devices.handle;
    SP_DEVINFO_DATA data = freshRecord();
    if (!devices.fetch(0, &data))
        QSKIP("no USB device in this testbed");

    const DWORD compatibleIds = 0x02; // a property that discovery does not read
    DWORD type = 0;
    DWORD size = 0;
    QVERIFY(
        !SetupDiGetDeviceRegistryPropertyW(set, &data, compatibleIds, &type, nullptr, 0, &size));
    const QVariant absent = readRegistryProperty(set, &data, compatibleIds);
    QVERIFY(!absent.isValid());
    QCOMPARE(absent.toStringList(), QStringList());

    const DEVPROPKEY otherKey = {DEVPKEY_Device_BusReportedDeviceDesc.fmtid, 99};
    DEVPROPTYPE propertyType = 0;
    QVERIFY(!SetupDiGetDevicePropertyW(set, &data, &otherKey, &propertyType, nullptr, 0, &size, 0));
    QVERIFY(!readDeviceProperty(set, &data, &otherKey).isValid());

    SP_DEVINFO_DATA stranger = freshRecord();
    stranger.DevInst = 1u << 30;
    QVERIFY(!readRegistryProperty(set, &stranger, SPDRP_HARDWAREID).isValid());
}

void SetupApiStandInTest::busNameOrder_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order"); // -1: a first, 1: b first, 0: the same
    QTest::newRow("numbers, not digits") << "1-2"
                                         << "1-10" << -1;
    QTest::newRow("shorter path first") << "1-2"
                                        << "1-2.1" << -1;
    QTest::newRow("deeper ports by number") << "1-2.10"
                                            << "1-2.9" << 1;
    QTest::newRow("bus number first") << "10-1"
                                      << "2-1.1" << 1;
    QTest::newRow("port 9.9 before port 10") << "1-9.9"
                                             << "1-10" << -1;
    QTest::newRow("interfaces by number") << "1-2:1.2"
                                          << "1-2:1.10" << -1;
    QTest::newRow("root hubs") << "usb2"
                               << "usb10" << -1;
    QTest::newRow("numbers before letters") << "1-1"
                                            << "usb1" << -1;
    QTest::newRow("same name") << "1-2.3"
                               << "1-2.3" << 0;
    QTest::newRow("leading zero still ordered") << "1-02"
                                                << "1-2" << -1;
    QTest::newRow("numbers longer than any integer") << "1-99999999999999999999"
                                                     << "1-100000000000000000000" << -1;
}

void SetupApiStandInTest::busNameOrder()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    QCOMPARE(busNameLessThan(a, b), order < 0);
    QCOMPARE(busNameLessThan(b, a), order > 0);
}

void SetupApiStandInTest::locations_data()
{
    QTest::addColumn<QString>("busName");
    QTest::addColumn<QString>("location"); // empty: none
    QTest::newRow("port on the root hub") << "1-2"
                                          << "Port_#0002.Hub_#0001";
    QTest::newRow("last port of a deep path") << "3-1.4.12"
                                              << "Port_#0012.Hub_#0003";
    QTest::newRow("root hub") << "usb1"
                              << "";
    QTest::newRow("port number too long") << "1-2.12345"
                                          << "";
    QTest::newRow("empty port") << "1-2."
                                << "";
    QTest::newRow("no bus") << "-2"
                            << "";
    QTest::newRow("two dashes") << "1-2-3"
                                << "";
}

void SetupApiStandInTest::locations()
{
    QFETCH(QString, busName);
    QFETCH(QString, location);
    QCOMPARE(usbLocationInformation(busName).value_or(QString()), location);
}

QTEST_GUILESS_MAIN(SetupApiStandInTest)
#include "tst_setupapistandin.moc"
