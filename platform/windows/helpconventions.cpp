// SPDX-License-Identifier: MIT
#include "platform/helpconventions.h"

QString minusOneStatusText()
{
    return QStringLiteral("-1");
}

QStringList platformHelpArguments()
{
    return {QStringLiteral("/?"), QStringLiteral("-?")};
}
