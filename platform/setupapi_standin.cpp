#include "setupapi_standin.h"

#include "usbdevicetree.h"

#include <QByteArray>

#include <cstring>
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

struct StandInDevice {
    std::vector<std::pair<DWORD, PropertyValue>> registry;
    std::vector<std::pair<DEVPROPKEY, PropertyValue>> device;
};

struct StandInDeviceInfoSet {
    std::vector<StandInDevice> devices;
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

StandInDevice toStandIn(const UsbDeviceRecord &record)
{
    StandInDevice device;
    device.registry.push_back({SPDRP_HARDWAREID, {REG_MULTI_SZ, textList(record.hardwareIds)}});
    if (record.friendlyName)
        device.registry.push_back(
            {SPDRP_FRIENDLYNAME, {REG_SZ, terminatedText(*record.friendlyName)}});
    if (record.locationInformation)
        device.registry.push_back(
            {SPDRP_LOCATION_INFORMATION, {REG_SZ, terminatedText(*record.locationInformation)}});
    if (record.productString)
        device.device.push_back({DEVPKEY_Device_BusReportedDeviceDesc,
                                 {DEVPROP_TYPE_STRING, terminatedText(*record.productString)}});
    return device;
}

StandInDeviceInfoSet *toSet(HDEVINFO handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return static_cast<StandInDeviceInfoSet *>(handle);
}

// The device that a record filled by SetupDiEnumDeviceInfo names, or null with the error set.
const StandInDevice *deviceOf(HDEVINFO handle, const SP_DEVINFO_DATA *data)
{
    const StandInDeviceInfoSet *set = toSet(handle);
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
    QList<UsbDeviceRecord> records;
    if (!readUsbDeviceTree(QString::fromStdString(sysRoot()), &records)) {
        lastError = ERROR_INVALID_DATA;
        return INVALID_HANDLE_VALUE;
    }

    auto *set = new StandInDeviceInfoSet;
    // The tree holds USB devices only, so only the USB device interface class (or every
    // class) selects them; an enumerator narrows nothing here but is accepted for USB.
    const bool usbDevices = (Flags & DIGCF_ALLCLASSES) ||
                            (interfaceClass && sameGuid(*ClassGuid, GUID_DEVINTERFACE_USB_DEVICE));
    const bool usbEnumerator = !Enumerator || (Enumerator[0] == u'U' && Enumerator[1] == u'S' &&
                                               Enumerator[2] == u'B' && Enumerator[3] == 0);
    if (usbDevices && usbEnumerator) {
        for (const UsbDeviceRecord &record : records)
            set->devices.push_back(toStandIn(record));
    }
    lastError = ERROR_SUCCESS;
    return set;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData)
{
    const StandInDeviceInfoSet *set = toSet(DeviceInfoSet);
    if (!set) {
        lastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        lastError = ERROR_INVALID_USER_BUFFER;
        return 0;
    }
    if (MemberIndex >= set->devices.size()) {
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
    const StandInDevice *device = deviceOf(DeviceInfoSet, DeviceInfoData);
    if (!device)
        return 0;
    for (const auto &entry : device->registry) {
        if (entry.first == Property)
            return deliver(entry.second, PropertyRegDataType, PropertyBuffer, PropertyBufferSize,
                           RequiredSize);
    }
    lastError = ERROR_INVALID_DATA;
    return 0;
}

BOOL SetupDiGetDevicePropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                               const DEVPROPKEY *PropertyKey, DEVPROPTYPE *PropertyType,
                               PBYTE PropertyBuffer, DWORD PropertyBufferSize, PDWORD RequiredSize,
                               DWORD Flags)
{
    const StandInDevice *device = deviceOf(DeviceInfoSet, DeviceInfoData);
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
    for (const auto &entry : device->device) {
        if (entry.first.pid == PropertyKey->pid && sameGuid(entry.first.fmtid, PropertyKey->fmtid))
            return deliver(entry.second, PropertyType, PropertyBuffer, PropertyBufferSize,
                           RequiredSize);
    }
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
