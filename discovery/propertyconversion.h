// SPDX-License-Identifier: MIT
#ifndef MORVEK_PROPERTYCONVERSION_H
#define MORVEK_PROPERTYCONVERSION_H

#include <QByteArray>
#include <QVariant>

// Turn the raw bytes of a device property, as SetupAPI delivers them, into a QVariant:
// a text, a list of texts, an integer, or an invalid variant for a type that is not
// understood. Every byte of `bytes` was received; nothing beyond it is ever read.
QVariant convertRegistryValue(quint32 type, const QByteArray &bytes);
QVariant convertDevicePropertyValue(quint32 type, const QByteArray &bytes);

#endif
