// SPDX-License-Identifier: MIT
#include "discovery/devicediscovery.h"

#include <QtTest>

class DiscoveryRulesTest : public QObject
{
    Q_OBJECT

private slots:
    void hardwareIdFields_data();
    void hardwareIdFields();
    void candidates_data();
    void candidates();
    void portNames_data();
    void portNames();
    void deviceIds_data();
    void deviceIds();
};

void DiscoveryRulesTest::hardwareIdFields_data()
{
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QString>("vendor");
    QTest::addColumn<QString>("product");
    QTest::newRow("windows form") << QStringList{"USB\\VID_04D8&PID_000A&REV_0100"} << "04D8"
                                  << "000A";
    QTest::newRow("lower case") << QStringList{"usb\\vid_04d8&pid_000a"} << "04d8"
                                << "000a";
    QTest::newRow("only the first entry")
        << QStringList{"USB\\CLASS_02", "USB\\VID_04D8&PID_000A"} << ""
        << "";
    QTest::newRow("no entries") << QStringList{} << ""
                                << "";
    QTest::newRow("underscore is a word character") << QStringList{"VID_04_D8&PID_0&REV"} << "04_D8"
                                                    << "0";
    QTest::newRow("no match") << QStringList{"HID\\VID04D8"} << ""
                              << "";
    QTest::newRow("first match from the start") << QStringList{"VID_1&PID_2\\VID_3&PID_4"} << "1"
                                                << "2";
    QTest::newRow("vendor run not followed by &pid_") << QStringList{"VID_04D8-1&PID_000A"} << ""
                                                      << "";
    QTest::newRow("letters of any script are word characters")
        << QStringList{QString::fromUtf8("VID_04\u00c9&PID_\u00df0A")}
        << QString::fromUtf8("04\u00c9") << QString::fromUtf8("\u00df0A");
    // U+10400 is a letter written as two UTF-16 units; U+0301, a combining accent, is no
    // word character.
    QTest::newRow("letter beyond 16 bits") << QStringList{QString::fromUtf8("VID_\U00010400&PID_1")}
                                           << QString::fromUtf8("\U00010400") << "1";
    QTest::newRow("combining accent ends the run")
        << QStringList{QString::fromUtf8("VID_04\u0301&PID_1&VID_2&PID_3")} << "2"
        << "3";
    QTest::newRow("lone surrogate: no match")
        << QStringList{QStringLiteral("VID_1&PID_2") + QChar(0xD800)} << ""
        << "";
    QTest::newRow("dotted capital I is no i")
        << QStringList{QString::fromUtf8("V\u0130D_04D8&PID_000A")} << ""
        << "";
}

void DiscoveryRulesTest::hardwareIdFields()
{
    QFETCH(QStringList, ids);
    QFETCH(QString, vendor);
    QFETCH(QString, product);
    QCOMPARE(hardwareIdField(1, ids), vendor);
    QCOMPARE(hardwareIdField(2, ids), product);
}

void DiscoveryRulesTest::candidates_data()
{
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<bool>("candidate");
    QTest::newRow("exact") << QStringList{"USB\\VID_04D8&PID_000A&REV_0100"} << true;
    QTest::newRow("lower-case hex") << QStringList{"usb\\vid_04d8&pid_000a"} << true;
    QTest::newRow("containment") << QStringList{"USB\\VID_104D8&PID_000AB"} << true;
    QTest::newRow("other vendor") << QStringList{"USB\\VID_046D&PID_000A"} << false;
    QTest::newRow("other product") << QStringList{"USB\\VID_04D8&PID_000B"} << false;
    QTest::newRow("ids only in second entry")
        << QStringList{"USB\\ROOT_HUB30", "USB\\VID_04D8&PID_000A"} << false;
    QTest::newRow("empty list") << QStringList{} << false;
    QTest::newRow("swapped ids") << QStringList{"USB\\VID_000A&PID_04D8"} << false;
}

void DiscoveryRulesTest::candidates()
{
    QFETCH(QStringList, ids);
    QFETCH(bool, candidate);
    QCOMPARE(isToolDevice(ids), candidate);
}

void DiscoveryRulesTest::portNames_data()
{
    QTest::addColumn<QString>("friendlyName");
    QTest::addColumn<bool>("passes");
    QTest::addColumn<QString>("portName");
    QTest::newRow("usual") << "USB Serial Device (COM12)" << true << "COM12";
    QTest::newRow("lower case") << "usb serial (com3)" << true << "COM3";
    QTest::newRow("COM in an earlier word") << "Communications Port (COM1)" << true << "COM1";
    QTest::newRow("no port") << "USB Serial Device" << false << "";
    QTest::newRow("no opening parenthesis") << "USB Serial Device COM4)" << false << "";
    QTest::newRow("no closing parenthesis") << "USB Serial Device (COM4" << false << "";
    QTest::newRow("closing parenthesis before") << "A) B (COM4" << true << "COM4";
    QTest::newRow("text after the port") << "Meter (COM7) #2" << true << "COM7";
    QTest::newRow("empty") << "" << false << "";
}

void DiscoveryRulesTest::portNames()
{
    QFETCH(QString, friendlyName);
    QFETCH(bool, passes);
    QFETCH(QString, portName);
    const std::optional<QString> cut = portNameFromFriendlyName(friendlyName);
    QCOMPARE(bool(cut), passes);
    if (passes)
        QCOMPARE(*cut, portName);
}

void DiscoveryRulesTest::deviceIds_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("product");
    QTest::addColumn<bool>("productRead");
    QTest::addColumn<QString>("deviceId");
    QTest::newRow("from location") << "ZR_SERIES__7"
                                   << "ZR_SERIES__3" << false << "7";
    QTest::newRow("hub port location, id from product") << "Port_#0002.Hub_#0001"
                                                        << "ZR_SERIES__3" << true << "3";
    QTest::newRow("lower-case prefix in both") << "zr_series__7"
                                               << "zr_series__3" << true << "zr_series__3";
    QTest::newRow("plain product name") << ""
                                        << "Meter" << true << "Meter";
    QTest::newRow("neither readable") << ""
                                      << "" << true << "";
    QTest::newRow("every prefix removed, nothing trimmed") << "a ZR_SERIES__1ZR_SERIES__2 "
                                                           << "" << false << "a 12 ";
    QTest::newRow("prefix alone") << "ZR_SERIES__"
                                  << "x" << false << "";
}

void DiscoveryRulesTest::deviceIds()
{
    QFETCH(QString, location);
    QFETCH(QString, product);
    QFETCH(bool, productRead);
    QFETCH(QString, deviceId);
    bool read = false;
    IdentitySource source = IdentitySource::Location;
    QCOMPARE(deviceIdFrom(
                 location,
                 [&] {
                     read = true;
                     return product;
                 },
                 &source),
             deviceId);
    QCOMPARE(read, productRead);
    // The product string is read exactly when the number comes from it.
    QCOMPARE(source == IdentitySource::Product, productRead);
}

QTEST_GUILESS_MAIN(DiscoveryRulesTest)
#include "tst_discoveryrules.moc"
