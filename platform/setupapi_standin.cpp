#include "setupapi_standin.h"

#include "usbdevicetree.h"

#include <QByteArray>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

std::string &sysRoot()
{
    static std::string root = "/sys";
    return root;
}

struct PropertyValue {
    DWORD type;
    QByteArray bytes;
};

// A property that is read from the device tree the first time it is asked for; the size
// query and the read that follows it then share one reading.
struct LazyProperty {
    bool known = false;
    std::optional<PropertyValue> value;
};

// Only the hardware IDs are read as the set is enumerated: a device without them is left
// out, and for a foreign device nothing else is ever read.
struct StandInDevice {
    QString busName;
    QString dir;
    PropertyValue hardwareIds;
    LazyProperty friendlyName;
    LazyProperty locationInformation;
    LazyProperty productString;
};

struct StandInDeviceInfoSet {
    QString devicesDir;
    QStringList busNames; // every listed device, in order
    int nextName = 0;     // the first of busNames not yet looked at
    std::vector<StandInDevice> devices;

    // Makes devices hold the device at index, when the tree has one.
    bool reach(DWORD index);
};

bool sameGuid(const GUID &a, const GUID &b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

QByteArray utf16le(const QString &text)
{
    QByteArray bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (const QChar unit : text) {
        bytes.append(char(unit.unicode() & 0xFF));
        bytes.append(char(unit.unicode() >> 8));
    }
    return bytes;
}

QByteArray terminatedText(const QString &text)
{
    return utf16le(text) + QByteArray(2, '\0');
}

QByteArray textList(const QStringList &texts)
{
    QByteArray bytes;
    for (const QString &text : texts)
        bytes += terminatedText(text);
    return bytes + QByteArray(2, '\0');
}

bool StandInDeviceInfoSet::reach(DWORD index)
{
    while (devices.size() <= index && nextName < busNames.size()) {
        const QString &busName = busNames.at(nextName++);
        const QString dir = devicesDir + busName;
        if (const std::optional<QStringList> ids = usbHardwareIds(dir)) {
            StandInDevice device;
            device.busName = busName;
            device.dir = dir;
            device.hardwareIds = {REG_MULTI_SZ, textList(*ids)};
            devices.push_back(std::move(device));
        }
    }
    return index < devices.size();
}

const PropertyValue *textProperty(LazyProperty *property, DWORD type,
                                  const std::function<std::optional<QString>()> &read)
{
    if (!property->known) {
        if (const std::optional<QString> text = read())
            property->value = PropertyValue{type, terminatedText(*text)};
        property->known = true;
    }
    return property->value ? &*property->value : nullptr;
}

const PropertyValue *registryProperty(StandInDevice *device, DWORD property)
{
    switch (property) {
    case SPDRP_HARDWAREID:
        return &device->hardwareIds;
    case SPDRP_FRIENDLYNAME:
        return textProperty(&device->friendlyName, REG_SZ,
                            [&] { return usbFriendlyName(device->dir, device->busName); });
    case SPDRP_LOCATION_INFORMATION:
        return textProperty(&device->locationInformation, REG_SZ,
                            [&] { return usbLocationInformation(device->busName); });
    default:
        return nullptr;
    }
}

const PropertyValue *deviceProperty(StandInDevice *device, const DEVPROPKEY &key)
{
    if (key.pid == DEVPKEY_Device_BusReportedDeviceDesc.pid &&
        sameGuid(key.fmtid, DEVPKEY_Device_BusReportedDeviceDesc.fmtid))
        return textProperty(&device->productString, DEVPROP_TYPE_STRING,
                            [&] { return usbProductString(device->dir); });
    return nullptr;
}

StandInDeviceInfoSet *toSet(HDEVINFO handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return static_cast<StandInDeviceInfoSet *>(handle);
}

// The device that a record filled by SetupDiEnumDeviceInfo names, or null with the error set.
StandInDevice *deviceOf(HDEVINFO handle, const SP_DEVINFO_DATA *data)
{
    StandInDeviceInfoSet *set = toSet(handle);
    if (!set) {
        lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->DevInst >= set->devices.size()) {
        lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return &set->devices[data->DevInst];
}

// The common tail of both property reads: report type and size, then copy the value if
// the caller's buffer holds all of it.
BOOL deliver(const PropertyValue &value, DWORD *type, PBYTE buffer, DWORD bufferSize,
             PDWORD requiredSize)
{
    const DWORD size = DWORD(value.bytes.size());
    if (type)
        *type = value.type;
    if (requiredSize)
        *requiredSize = size;
    if (!buffer && bufferSize != 0) {
        lastError = ERROR_INVALID_USER_BUFFER;
        return 0;
    }
    if (!buffer || bufferSize < size) {
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    if (size > 0)
        std::memcpy(buffer, value.bytes.constData(), size);
    lastError = ERROR_SUCCESS;
    return 1;
}

} // namespace

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD error)
{
    lastError = error;
}

HDEVINFO SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                              DWORD Flags)
{
    Q_UNUSED(hwndParent)
    const bool interfaceClass = (Flags & DIGCF_DEVICEINTERFACE) != 0;
    if (!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) {
        lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    QStringList busNames;
    const QString root = QString::fromStdString(sysRoot());
    if (!listUsbDevices(root, &busNames)) {
        lastError = ERROR_INVALID_DATA;
        return INVALID_HANDLE_VALUE;
    }

    auto *set = new StandInDeviceInfoSet;
    set->devicesDir = root + QStringLiteral("/bus/usb/devices/");
    // The tree holds USB devices only, so only the USB device interface class (or every
    // class) selects them; an enumerator narrows nothing here but is accepted for USB.
    const bool usbDevices = (Flags & DIGCF_ALLCLASSES) ||
                            (interfaceClass && sameGuid(*ClassGuid, GUID_DEVINTERFACE_USB_DEVICE));
    const bool usbEnumerator = !Enumerator || (Enumerator[0] == u'U' && Enumerator[1] == u'S' &&
                                               Enumerator[2] == u'B' && Enumerator[3] == 0);
    if (usbDevices && usbEnumerator)
        set->busNames = busNames;
    lastError = ERROR_SUCCESS;
    return set;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData)
{
    StandInDeviceInfoSet *set = toSet(DeviceInfoSet);
    if (!set) {
        lastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        lastError = ERROR_INVALID_USER_BUFFER;
        return 0;
    }
    if (!set->reach(MemberIndex)) {
        lastError = ERROR_NO_MORE_ITEMS;
        return 0;
    }
    DeviceInfoData->ClassGuid = GUID_DEVINTERFACE_USB_DEVICE;
    DeviceInfoData->DevInst = MemberIndex;
    DeviceInfoData->Reserved = 0;
    lastError = ERROR_SUCCESS;
    return 1;
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize)
{
    StandInDevice *device = deviceOf(DeviceInfoSet, DeviceInfoData);
    if (!device)
        return 0;
    if (const PropertyValue *value = registryProperty(device, Property))
        return deliver(*value, PropertyRegDataType, PropertyBuffer, PropertyBufferSize,
                       RequiredSize);
    lastError = ERROR_INVALID_DATA;
    return 0;
}

BOOL SetupDiGetDevicePropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                               const DEVPROPKEY *PropertyKey, DEVPROPTYPE *PropertyType,
                               PBYTE PropertyBuffer, DWORD PropertyBufferSize, PDWORD RequiredSize,
                               DWORD Flags)
{
    StandInDevice *device = deviceOf(DeviceInfoSet, DeviceInfoData);
    if (!device)
        return 0;
    if (!PropertyKey || !PropertyType) {
        lastError = ERROR_INVALID_USER_BUFFER;
        return 0;
    }
    if (Flags != 0) {
        lastError = ERROR_INVALID_FLAGS;
        return 0;
    }
    if (const PropertyValue *value = deviceProperty(device, *PropertyKey))
        return deliver(*value, PropertyType, PropertyBuffer, PropertyBufferSize, RequiredSize);
    lastError = ERROR_NOT_FOUND;
    return 0;
}

void standInSetSysRoot(const char *root)
{
    sysRoot() = root;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    StandInDeviceInfoSet *set = toSet(DeviceInfoSet);
    if (!set) {
        lastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    delete set;
    lastError = ERROR_SUCCESS;
    return 1;
}
