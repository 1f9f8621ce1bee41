// SPDX-License-Identifier: MIT
#include "platform/devicepath.h"

#include <windows.h>

QString nativePortPath(const QString &windowsPath)
{
    return windowsPath;
}

bool portPresent(const QString &systemPath)
{
    // QueryDosDevice takes the name without the device namespace's prefix.
    static const QString prefix = QStringLiteral("\\\\.\\");
    const QString name = systemPath.startsWith(prefix) ? systemPath.mid(prefix.size()) : systemPath;
    wchar_t target[512];
    return QueryDosDeviceW(reinterpret_cast<const wchar_t *>(name.utf16()), target,
                           sizeof target / sizeof target[0]) != 0;
}
