// SPDX-License-Identifier: MIT
#include "propertyreader.h"

#include "propertyconversion.h"

#include <QByteArray>

namespace {

// No property that discovery reads comes near this; a larger reported size is not trusted.
const DWORD maxPropertySize = 1 << 20;

} // namespace

QVariant readRegistryProperty(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                              DWORD property)
{
    DWORD type = 0;
    DWORD size = 0;
    // Without a buffer the call fails; only the type and size it reports matter.
    SetupDiGetDeviceRegistryPropertyW(deviceInfoSet, deviceInfoData, property, &type, nullptr, 0,
                                      &size);
    if (size > maxPropertySize)
        return QVariant();
    QByteArray buffer(int(size), '\0');
    if (!SetupDiGetDeviceRegistryPropertyW(deviceInfoSet, deviceInfoData, property, nullptr,
                                           reinterpret_cast<PBYTE>(buffer.data()), size, nullptr))
        return QVariant();
    return convertRegistryValue(type, buffer);
}

QVariant readDeviceProperty(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                            const DEVPROPKEY *propertyKey)
{
    DEVPROPTYPE type = 0;
    DWORD size = 0;
    SetupDiGetDevicePropertyW(deviceInfoSet, deviceInfoData, propertyKey, &type, nullptr, 0, &size,
                              0);
    if (size > maxPropertySize)
        return QVariant();
    QByteArray buffer(int(size), '\0');
    const DWORD room = size;
    if (!SetupDiGetDevicePropertyW(deviceInfoSet, deviceInfoData, propertyKey, &type,
                                   reinterpret_cast<PBYTE>(buffer.data()), room, &size, 0))
        return QVariant();
    // The size reported by the read can never make us look past the buffer we handed over.
    buffer.truncate(int(qMin(size, room)));
    return convertDevicePropertyValue(type, buffer);
}
