// SPDX-License-Identifier: MIT
#include "propertyconversion.h"

#include "platform/setupapi.h"

#include <QStringList>
#include <QtEndian>

#include <cstring>
#include <string>

namespace {

// The buffer as UTF-16 code units (little-endian on the wire; an odd last byte is dropped),
// copied so that they are aligned whatever the buffer's address.
std::u16string codeUnits(const QByteArray &bytes)
{
    std::u16string units(size_t(bytes.size() / 2), u'\0');
    if (!units.empty())
        std::memcpy(&units[0], bytes.constData(), units.size() * 2);
    for (char16_t &unit : units)
        unit = qFromLittleEndian(unit);
    return units;
}

QString decode(const std::u16string &units, size_t from, size_t count)
{
    return QString::fromUtf16(units.data() + from, int(count));
}

QString countedText(const QByteArray &bytes)
{
    const std::u16string units = codeUnits(bytes);
    return decode(units, 0, units.size());
}

// Length of the text at `from`: up to its NUL, or to the end of what was received.
size_t textLength(const std::u16string &units, size_t from)
{
    const size_t nul = units.find(u'\0', from);
    return (nul == std::u16string::npos ? units.size() : nul) - from;
}

// A text that lacks its NUL still counts: its code units were received and are kept.
QString terminatedText(const QByteArray &bytes)
{
    const std::u16string units = codeUnits(bytes);
    return decode(units, 0, textLength(units, 0));
}

QStringList textList(const QByteArray &bytes)
{
    const std::u16string units = codeUnits(bytes);
    QStringList texts;
    size_t offset = 0;
    while (offset < units.size()) {
        const size_t length = textLength(units, offset);
        // Decoding drops a byte-order mark that starts a text: one of that alone is empty too.
        const QString text = decode(units, offset, length);
        if (text.isEmpty())
            break;
        texts.append(text);
        offset += length + 1;
    }
    return texts;
}

// Integers are read from the bytes received only: missing high-order bytes count as 0.
quint32 unsignedLittleEndian(const QByteArray &bytes, int width)
{
    quint32 value = 0;
    for (int i = qMin(width, bytes.size()) - 1; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(i));
    return value;
}

quint32 unsignedBigEndian(const QByteArray &bytes, int width)
{
    quint32 value = 0;
    for (int i = 0; i < width; ++i)
        value = (value << 8) | (i < bytes.size() ? quint8(bytes.at(i)) : 0u);
    return value;
}

} // namespace

QVariant convertRegistryValue(quint32 type, const QByteArray &bytes)
{
    switch (type) {
    case REG_NONE:
    case REG_BINARY:
        return QVariant(countedText(bytes));
    case REG_SZ:
    case REG_EXPAND_SZ:
        return QVariant(terminatedText(bytes));
    case REG_DWORD:
        return QVariant(qint32(unsignedLittleEndian(bytes, 4)));
    case REG_DWORD_BIG_ENDIAN:
        return QVariant(qint32(unsignedBigEndian(bytes, 4)));
    case REG_MULTI_SZ:
        return QVariant(textList(bytes));
    default:
        return QVariant();
    }
}

QVariant convertDevicePropertyValue(quint32 type, const QByteArray &bytes)
{
    switch (type) {
    case DEVPROP_TYPE_BYTE:
    case DEVPROP_TYPE_BINARY:
        return QVariant(countedText(bytes));
    case DEVPROP_TYPE_INT16:
        return QVariant(int(qint16(unsignedLittleEndian(bytes, 2))));
    case DEVPROP_TYPE_UINT16:
        return QVariant(int(unsignedLittleEndian(bytes, 2)));
    case DEVPROP_TYPE_STRING:
        return QVariant(terminatedText(bytes));
    case DEVPROP_TYPE_STRING_LIST:
        return QVariant(textList(bytes));
    default:
        return QVariant();
    }
}
