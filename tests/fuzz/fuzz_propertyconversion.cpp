// SPDX-License-Identifier: MIT
// libFuzzer target: property bytes of any length and any type code must convert without
// reading past the bytes received, and texts never hold more code units than were sent.
#include "discovery/propertyconversion.h"

#include <QStringList>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void check(const QVariant &value, int size)
{
    int units = 0;
    if (value.userType() == QMetaType::QString) {
        units = value.toString().size();
    } else if (value.userType() == QMetaType::QStringList) {
        // Each listed text used at least its code units and a NUL, bar an unterminated last.
        for (const QString &text : value.toStringList())
            units += text.size() + 1;
        units -= 1;
    }
    if (units > size / 2)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 4)
        return 0;
    std::uint32_t type = 0;
    std::memcpy(&type, data, 4);
    // Favour the codes that are understood, without excluding any.
    if (type & 0x80000000u)
        type &= 0x201f;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 4), int(size - 4));
    check(convertRegistryValue(type, bytes), bytes.size());
    check(convertDevicePropertyValue(type, bytes), bytes.size());
    return 0;
}
