// SPDX-License-Identifier: MIT
#ifndef MORVEK_HELPCONVENTIONS_H
#define MORVEK_HELPCONVENTIONS_H

#include <QString>
#include <QStringList>

// The exit status -1 as callers on this platform see it: "-1" on Windows, where a status is
// a signed 32-bit value, "255" where only its low byte reaches the parent.
QString minusOneStatusText();

// Arguments that ask for help in this platform's own form beyond -h and --help: /? and -?
// on Windows, none elsewhere (where they stay ordinary, ignored arguments).
QStringList platformHelpArguments();

#endif
