// SPDX-License-Identifier: MIT
#include "platform/standin/setupapi_standin.h"

#include "platform/standin/usbdevicetree.h"

#include <QByteArray>

#include <cstring>

namespace {

using DeviceSet = QList<UsbSerialDevice>;

// A text as SetupAPI delivers it: UTF-16LE code units and a NUL.
QByteArray encodeText(const QString &text)
{
    QByteArray bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (const QChar unit : text) {
        bytes.append(char(unit.unicode() & 0xFF));
        bytes.append(char(unit.unicode() >> 8));
    }
    return bytes.append(2, '\0');
}

// A list of texts: each with its NUL, then an empty text.
QByteArray encodeTextList(const QStringList &texts)
{
    QByteArray bytes;
    for (const QString &text : texts)
        bytes += encodeText(text);
    return bytes.append(2, '\0');
}

// The device at index in the set, when the handle and the record are the ones SetupAPI
// hands out.
const UsbSerialDevice *deviceAt(HDEVINFO handle, const SP_DEVINFO_DATA *data, DWORD index)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !data ||
        data->cbSize != sizeof(SP_DEVINFO_DATA))
        return nullptr;
    const DeviceSet &set = *static_cast<const DeviceSet *>(handle);
    return index < DWORD(set.size()) ? &set.at(int(index)) : nullptr;
}

// The device that a record filled by SetupDiEnumDeviceInfo names.
const UsbSerialDevice *deviceOf(HDEVINFO handle, const SP_DEVINFO_DATA *data)
{
    return data ? deviceAt(handle, data, data->DevInst) : nullptr;
}

// Both property reads: type and size are reported either way, and the value is copied
// only into a buffer that holds all of it.
BOOL returnProperty(DWORD type, const QByteArray &value, DWORD *typeOut, PBYTE buffer,
                    DWORD bufferSize, PDWORD requiredSize)
{
    if (typeOut)
        *typeOut = type;
    if (requiredSize)
        *requiredSize = DWORD(value.size());
    if (!buffer || bufferSize < DWORD(value.size()))
        return 0;
    std::memcpy(buffer, value.constData(), size_t(value.size()));
    return 1;
}

} // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                              DWORD Flags)
{
    if (!ClassGuid || std::memcmp(ClassGuid, &GUID_DEVINTERFACE_USB_DEVICE, sizeof(GUID)) != 0 ||
        Enumerator || hwndParent || Flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE))
        return INVALID_HANDLE_VALUE;
    const std::optional<DeviceSet> devices = usbSerialDevices(QStringLiteral("/sys"));
    return devices ? new DeviceSet(*devices) : INVALID_HANDLE_VALUE;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData)
{
    if (!deviceAt(DeviceInfoSet, DeviceInfoData, MemberIndex))
        return 0;
    DeviceInfoData->ClassGuid = GUID_DEVINTERFACE_USB_DEVICE;
    DeviceInfoData->DevInst = MemberIndex;
    DeviceInfoData->Reserved = 0;
    return 1;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize)
{
    const UsbSerialDevice *device = deviceOf(DeviceInfoSet, DeviceInfoData);
    if (device && Property == SPDRP_HARDWAREID)
        return returnProperty(REG_MULTI_SZ, encodeTextList(device->hardwareIds),
                              PropertyRegDataType, PropertyBuffer, PropertyBufferSize,
                              RequiredSize);
    if (device && Property == SPDRP_FRIENDLYNAME)
        return returnProperty(REG_SZ, encodeText(device->friendlyName), PropertyRegDataType,
                              PropertyBuffer, PropertyBufferSize, RequiredSize);
    if (device && Property == SPDRP_LOCATION_INFORMATION && device->location)
        return returnProperty(REG_SZ, encodeText(*device->location), PropertyRegDataType,
                              PropertyBuffer, PropertyBufferSize, RequiredSize);
    return 0;
}

BOOL SetupDiGetDevicePropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                               const DEVPROPKEY *PropertyKey, DEVPROPTYPE *PropertyType,
                               PBYTE PropertyBuffer, DWORD PropertyBufferSize, PDWORD RequiredSize,
                               DWORD Flags)
{
    const UsbSerialDevice *device = deviceOf(DeviceInfoSet, DeviceInfoData);
    if (!device || !PropertyKey || !PropertyType || Flags != 0 ||
        std::memcmp(PropertyKey, &DEVPKEY_Device_BusReportedDeviceDesc, sizeof(DEVPROPKEY)) != 0)
        return 0;
    // Read when asked for, which only a tool's device is.
    const std::optional<QString> product = usbProductString(device->dir);
    return product && returnProperty(DEVPROP_TYPE_STRING, encodeText(*product), PropertyType,
                                     PropertyBuffer, PropertyBufferSize, RequiredSize);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    if (DeviceInfoSet == nullptr || DeviceInfoSet == INVALID_HANDLE_VALUE)
        return 0;
    delete static_cast<DeviceSet *>(DeviceInfoSet);
    return 1;
}
