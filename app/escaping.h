// SPDX-License-Identifier: MIT
#ifndef MORVEK_ESCAPING_H
#define MORVEK_ESCAPING_H

#include <QByteArray>
#include <QString>

// Texts from a device or the platform made safe for one field of one line, for the trace and
// for --list alike: a tab or line end that a device gives cannot add a field or a line there,
// nor can a control or format character rewrite the terminal.

// Printable ASCII as it is; line ends, tabs, backslashes and every other byte escaped.
QString escapedBytes(const QByteArray &bytes);
// As above for ASCII and Latin-1 controls, other control and format characters as
// \u{HHHH}, any other character as it is.
QString escapedText(const QString &text);
// A path the line opens, escaped but for the device namespace prefix (\\.\) that the line
// itself puts in front of a port name.
QString escapedPath(const QString &path);

#endif
