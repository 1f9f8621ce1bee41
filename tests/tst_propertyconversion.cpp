// SPDX-License-Identifier: MIT
#include "discovery/propertyconversion.h"
#include "platform/setupapi.h"

#include <QtTest>

namespace {

// UTF-16LE bytes of an ASCII text; every "|" stands for a NUL code unit.
QByteArray utf16(const char *ascii)
{
    QByteArray bytes;
    for (const char *c = ascii; *c; ++c) {
        bytes.append(*c == '|' ? '\0' : *c);
        bytes.append('\0');
    }
    return bytes;
}

QByteArray raw(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int v : values)
        bytes.append(char(v));
    return bytes;
}

QString text(const char16_t *units, int count)
{
    return QString::fromUtf16(units, count);
}

} // namespace

class PropertyConversionTest : public QObject
{
    Q_OBJECT

private slots:
    void registryValues_data();
    void registryValues();
    void deviceValues_data();
    void deviceValues();
    void invalidReadsAsEmpty();
};

void PropertyConversionTest::registryValues_data()
{
    QTest::addColumn<uint>("type");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QVariant>("value");

    // Text lists
    QTest::newRow("multi A B") << uint(REG_MULTI_SZ) << utf16("A|B||")
                               << QVariant(QStringList{"A", "B"});
    QTest::newRow("multi single NUL")
        << uint(REG_MULTI_SZ) << utf16("|") << QVariant(QStringList());
    QTest::newRow("multi two NULs") << uint(REG_MULTI_SZ) << utf16("||") << QVariant(QStringList());
    QTest::newRow("multi nothing") << uint(REG_MULTI_SZ) << QByteArray() << QVariant(QStringList());
    QTest::newRow("multi stops at first empty text")
        << uint(REG_MULTI_SZ) << utf16("A||B||") << QVariant(QStringList{"A"});
    QTest::newRow("multi unterminated last text counts")
        << uint(REG_MULTI_SZ) << utf16("AB|CD") << QVariant(QStringList{"AB", "CD"});
    QTest::newRow("multi odd byte dropped")
        << uint(REG_MULTI_SZ) << utf16("AB|") + raw({'C'}) << QVariant(QStringList{"AB"});
    // Decoding drops a byte-order mark at the start of a text, which leaves that text empty.
    QTest::newRow("multi text of a byte-order mark alone ends the list")
        << uint(REG_MULTI_SZ) << utf16("A|") + raw({0xff, 0xfe}) + utf16("|B||")
        << QVariant(QStringList{"A"});
    QTest::newRow("multi first text a byte-order mark alone")
        << uint(REG_MULTI_SZ) << raw({0xff, 0xfe}) + utf16("|B||") << QVariant(QStringList());
    QTest::newRow("multi byte-order mark before a text is dropped")
        << uint(REG_MULTI_SZ) << raw({0xff, 0xfe}) + utf16("A|B||")
        << QVariant(QStringList{"A", "B"});
    QTest::newRow("multi hardware ids")
        << uint(REG_MULTI_SZ) << utf16("USB\\VID_04D8&PID_000A&REV_0100|USB\\VID_04D8&PID_000A||")
        << QVariant(QStringList{"USB\\VID_04D8&PID_000A&REV_0100", "USB\\VID_04D8&PID_000A"});

    // Terminated texts
    QTest::newRow("sz COM5") << uint(REG_SZ) << utf16("COM5|") << QVariant(QString("COM5"));
    QTest::newRow("sz stops at first NUL")
        << uint(REG_SZ) << utf16("CO|M5|") << QVariant(QString("CO"));
    QTest::newRow("sz unterminated counts")
        << uint(REG_SZ) << utf16("COM5") << QVariant(QString("COM5"));
    QTest::newRow("sz empty") << uint(REG_SZ) << QByteArray() << QVariant(QString(""));
    QTest::newRow("sz single byte") << uint(REG_SZ) << raw({'A'}) << QVariant(QString(""));
    QTest::newRow("expand sz kept as stored")
        << uint(REG_EXPAND_SZ) << utf16("%WINDIR%|") << QVariant(QString("%WINDIR%"));
    const char16_t nonAscii[] = {u'\u00e9', u'\u20ac', 0xD83D, 0xDE00};
    QTest::newRow("sz beyond Latin-1")
        << uint(REG_SZ) << raw({0xe9, 0x00, 0xac, 0x20, 0x3d, 0xd8, 0x00, 0xde, 0, 0})
        << QVariant(text(nonAscii, 4));

    // Counted texts
    const char16_t ab[] = {u'A', u'B', 0};
    QTest::newRow("binary 5 bytes gives 2 units")
        << uint(REG_BINARY) << utf16("AB") + raw({'C'}) << QVariant(QString("AB"));
    QTest::newRow("binary keeps its NUL")
        << uint(REG_BINARY) << utf16("AB|") << QVariant(text(ab, 3));
    QTest::newRow("none is counted")
        << uint(REG_NONE) << utf16("A|B") << QVariant(text(u"A\0B", 3));
    QTest::newRow("binary empty") << uint(REG_BINARY) << QByteArray() << QVariant(QString(""));

    // Integers
    QTest::newRow("dword 1") << uint(REG_DWORD) << raw({1, 0, 0, 0}) << QVariant(1);
    QTest::newRow("dword little-endian")
        << uint(REG_DWORD) << raw({0x78, 0x56, 0x34, 0x12}) << QVariant(0x12345678);
    QTest::newRow("dword negative")
        << uint(REG_DWORD) << raw({0xff, 0xff, 0xff, 0xff}) << QVariant(-1);
    QTest::newRow("dword extra bytes ignored")
        << uint(REG_DWORD) << raw({2, 0, 0, 0, 9, 9}) << QVariant(2);
    QTest::newRow("dword short: received bytes only")
        << uint(REG_DWORD) << raw({0x34, 0x12}) << QVariant(0x1234);
    QTest::newRow("dword nothing") << uint(REG_DWORD) << QByteArray() << QVariant(0);
    QTest::newRow("dword big-endian")
        << uint(REG_DWORD_BIG_ENDIAN) << raw({0x12, 0x34, 0x56, 0x78}) << QVariant(0x12345678);

    // Types that give no value although the read succeeded
    QTest::newRow("link") << uint(REG_LINK) << utf16("X|") << QVariant();
    QTest::newRow("resource list") << uint(REG_RESOURCE_LIST) << raw({1, 2}) << QVariant();
    QTest::newRow("qword") << uint(REG_QWORD) << raw({1, 0, 0, 0, 0, 0, 0, 0}) << QVariant();
    QTest::newRow("unknown code") << 0xffffffffu << utf16("X|") << QVariant();
}

void PropertyConversionTest::registryValues()
{
    QFETCH(uint, type);
    QFETCH(QByteArray, bytes);
    QFETCH(QVariant, value);
    const QVariant converted = convertRegistryValue(type, bytes);
    QCOMPARE(converted.isValid(), value.isValid());
    QCOMPARE(converted.userType(), value.userType());
    QCOMPARE(converted, value);
}

void PropertyConversionTest::deviceValues_data()
{
    QTest::addColumn<uint>("type");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("string product")
        << uint(DEVPROP_TYPE_STRING) << utf16("ZR_SERIES__1|") << QVariant(QString("ZR_SERIES__1"));
    QTest::newRow("string unterminated")
        << uint(DEVPROP_TYPE_STRING) << utf16("Meter") << QVariant(QString("Meter"));
    QTest::newRow("string empty") << uint(DEVPROP_TYPE_STRING) << QByteArray()
                                  << QVariant(QString(""));
    QTest::newRow("string list") << uint(DEVPROP_TYPE_STRING_LIST) << utf16("a|bc||")
                                 << QVariant(QStringList{"a", "bc"});
    QTest::newRow("string list: a byte-order mark alone ends the list")
        << uint(DEVPROP_TYPE_STRING_LIST) << utf16("a|") + raw({0xff, 0xfe, 0, 0}) + utf16("bc||")
        << QVariant(QStringList{"a"});
    QTest::newRow("string list empty")
        << uint(DEVPROP_TYPE_STRING_LIST) << QByteArray() << QVariant(QStringList());
    QTest::newRow("binary 6 bytes")
        << uint(DEVPROP_TYPE_BINARY) << raw({'x', 0, 'y', 0, 'z', 0}) << QVariant(QString("xyz"));
    QTest::newRow("byte, one byte") << uint(DEVPROP_TYPE_BYTE) << raw({7}) << QVariant(QString(""));
    QTest::newRow("int16 negative")
        << uint(DEVPROP_TYPE_INT16) << raw({0xfe, 0xff}) << QVariant(-2);
    QTest::newRow("uint16") << uint(DEVPROP_TYPE_UINT16) << raw({0xfe, 0xff}) << QVariant(65534);
    QTest::newRow("uint16 one byte") << uint(DEVPROP_TYPE_UINT16) << raw({5}) << QVariant(5);
    QTest::newRow("uint16 nothing") << uint(DEVPROP_TYPE_UINT16) << QByteArray() << QVariant(0);

    // The 32-bit types and all others give no value here, unlike the registry table.
    QTest::newRow("uint32") << uint(DEVPROP_TYPE_UINT32) << raw({1, 0, 0, 0}) << QVariant();
    QTest::newRow("int32") << uint(DEVPROP_TYPE_INT32) << raw({1, 0, 0, 0}) << QVariant();
    QTest::newRow("empty type") << uint(DEVPROP_TYPE_EMPTY) << QByteArray() << QVariant();
    QTest::newRow("null type") << uint(DEVPROP_TYPE_NULL) << QByteArray() << QVariant();
    QTest::newRow("sbyte") << uint(DEVPROP_TYPE_SBYTE) << raw({1}) << QVariant();
    QTest::newRow("guid") << uint(DEVPROP_TYPE_GUID) << QByteArray(16, '\1') << QVariant();
    QTest::newRow("boolean") << uint(DEVPROP_TYPE_BOOLEAN) << raw({0xff}) << QVariant();
    QTest::newRow("registry code 1 is no string here") << 1u << utf16("X|") << QVariant();
    QTest::newRow("registry code 7 is no list here") << 7u << utf16("X||") << QVariant();
    QTest::newRow("uint16 array") << uint(DEVPROP_TYPE_UINT16 | DEVPROP_TYPEMOD_ARRAY)
                                  << raw({1, 0}) << QVariant();
}

void PropertyConversionTest::deviceValues()
{
    QFETCH(uint, type);
    QFETCH(QByteArray, bytes);
    QFETCH(QVariant, value);
    const QVariant converted = convertDevicePropertyValue(type, bytes);
    QCOMPARE(converted.isValid(), value.isValid());
    QCOMPARE(converted.userType(), value.userType());
    QCOMPARE(converted, value);
}

void PropertyConversionTest::invalidReadsAsEmpty()
{
    const QVariant invalid = convertRegistryValue(REG_QWORD, QByteArray(8, '\0'));
    QVERIFY(!invalid.isValid());
    QCOMPARE(invalid.toString(), QString());
    QCOMPARE(invalid.toStringList(), QStringList());
}

QTEST_GUILESS_MAIN(PropertyConversionTest)
#include "tst_propertyconversion.moc"
