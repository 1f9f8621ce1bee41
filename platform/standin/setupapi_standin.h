// SPDX-License-Identifier: MIT
#ifndef MORVEK_SETUPAPI_STANDIN_H
#define MORVEK_SETUPAPI_STANDIN_H

// Stand-in for the SetupAPI calls that device discovery makes, for platforms other than
// Windows, with the names, integer sizes, constants and documented results of the Windows
// SDK; text properties are UTF-16LE as on Windows. The one set it opens holds the USB
// devices that carry a CDC-ACM tty (platform/standin/usbdevicetree.h); other arguments are refused.

#include <cstdint>

typedef int BOOL;
typedef std::uint8_t BYTE, *PBYTE;
typedef std::uint32_t DWORD, *PDWORD, ULONG, DEVPROPID, DEVPROPTYPE;
typedef void *HDEVINFO, *HWND;
typedef const char16_t *PCWSTR;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

struct DEVPROPKEY {
    GUID fmtid;
    DEVPROPID pid;
};

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    std::uintptr_t Reserved;
};
typedef SP_DEVINFO_DATA *PSP_DEVINFO_DATA;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HDEVINFO>(static_cast<std::intptr_t>(-1)))

constexpr DWORD DIGCF_PRESENT = 0x02;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;

constexpr DWORD SPDRP_HARDWAREID = 0x01;
constexpr DWORD SPDRP_FRIENDLYNAME = 0x0C;
constexpr DWORD SPDRP_LOCATION_INFORMATION = 0x0D;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_RESOURCE_LIST = 8;
constexpr DWORD REG_QWORD = 11;

constexpr DEVPROPTYPE DEVPROP_TYPEMOD_ARRAY = 0x1000;
constexpr DEVPROPTYPE DEVPROP_TYPEMOD_LIST = 0x2000;
constexpr DEVPROPTYPE DEVPROP_TYPE_EMPTY = 0x00;
constexpr DEVPROPTYPE DEVPROP_TYPE_NULL = 0x01;
constexpr DEVPROPTYPE DEVPROP_TYPE_SBYTE = 0x02;
constexpr DEVPROPTYPE DEVPROP_TYPE_BYTE = 0x03;
constexpr DEVPROPTYPE DEVPROP_TYPE_INT16 = 0x04;
constexpr DEVPROPTYPE DEVPROP_TYPE_UINT16 = 0x05;
constexpr DEVPROPTYPE DEVPROP_TYPE_INT32 = 0x06;
constexpr DEVPROPTYPE DEVPROP_TYPE_UINT32 = 0x07;
constexpr DEVPROPTYPE DEVPROP_TYPE_GUID = 0x0D;
constexpr DEVPROPTYPE DEVPROP_TYPE_BOOLEAN = 0x11;
constexpr DEVPROPTYPE DEVPROP_TYPE_STRING = 0x12;
constexpr DEVPROPTYPE DEVPROP_TYPE_STRING_LIST = DEVPROP_TYPE_STRING | DEVPROP_TYPEMOD_LIST;
constexpr DEVPROPTYPE DEVPROP_TYPE_BINARY = DEVPROP_TYPE_BYTE | DEVPROP_TYPEMOD_ARRAY;

constexpr GUID GUID_DEVINTERFACE_USB_DEVICE = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr DEVPROPKEY DEVPKEY_Device_BusReportedDeviceDesc = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};

HDEVINFO SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                              DWORD Flags);
BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                           PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType,
                                       PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize);
BOOL SetupDiGetDevicePropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                               const DEVPROPKEY *PropertyKey, DEVPROPTYPE *PropertyType,
                               PBYTE PropertyBuffer, DWORD PropertyBufferSize, PDWORD RequiredSize,
                               DWORD Flags);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

#endif
