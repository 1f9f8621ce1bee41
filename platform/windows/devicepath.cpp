// SPDX-License-Identifier: MIT
#include "platform/devicepath.h"

QString nativePortPath(const QString &windowsPath)
{
    return windowsPath;
}
