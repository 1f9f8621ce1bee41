// SPDX-License-Identifier: MIT
#ifndef MORVEK_PROPERTYREADER_H
#define MORVEK_PROPERTYREADER_H

#include "platform/setupapi.h"

#include <QVariant>

// Read one property of a device in a SetupAPI device information set. A property that
// cannot be read, or whose type is not understood, gives an invalid QVariant, which reads
// as an empty text or an empty list.
QVariant readRegistryProperty(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                              DWORD property);
QVariant readDeviceProperty(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                            const DEVPROPKEY *propertyKey);

#endif
