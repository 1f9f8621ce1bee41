// SPDX-License-Identifier: MIT
#include "platform/helpconventions.h"

QString minusOneStatusText()
{
    return QStringLiteral("255");
}

QStringList platformHelpArguments()
{
    return {};
}
