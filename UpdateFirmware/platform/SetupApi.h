// SetupAPI device-interface sets: one snapshot per SetupDiGetClassDevsW call,
// released (SetupDiDestroyDeviceInfoList) when the object goes away.
// Size queries, cbSize fields and buffer management stay in the adapter; the
// core sees the outcome of each call.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Win32Errors.h"

namespace platform {

struct Guid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4{};

    friend bool operator==(const Guid& a, const Guid& b) {
        return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 && a.data4 == b.data4;
    }
};

// {3ABF6F2D-71C4-462A-8A92-1E6861E6AF27}
constexpr Guid kGuidDevInterfaceUsbHostController{
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
// {F18A0E88-C30C-11D0-8815-00A0C906BED8}
constexpr Guid kGuidDevInterfaceUsbHub{
    0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};

// SetupDiGetClassDevsW flags.
constexpr std::uint32_t kDigcfPresent = 0x02;
constexpr std::uint32_t kDigcfAllClasses = 0x04;
constexpr std::uint32_t kDigcfDeviceInterface = 0x10;

// SPDRP_ codes the tool reads.
constexpr std::uint32_t kSpdrpDeviceDesc = 0x00;
constexpr std::uint32_t kSpdrpHardwareId = 0x01;
constexpr std::uint32_t kSpdrpDriver = 0x09;
constexpr std::uint32_t kSpdrpPhysicalDeviceObjectName = 0x0E;
constexpr std::uint32_t kSpdrpBusNumber = 0x15;
constexpr std::uint32_t kSpdrpAddress = 0x1C;

constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegBinary = 3;

struct SetupCallResult {
    bool ok = false;
    std::uint32_t error = 0;  // GetLastError() when !ok
};

struct InterfaceDetailResult {
    bool ok = false;
    std::uint32_t error = 0;
    bool outOfMemory = false;  // the detail buffer could not be allocated
    std::wstring devicePath;   // "\\?\..." as SetupAPI gives it
};

struct DevicePropertyResult {
    bool ok = false;
    std::uint32_t error = 0;  // e.g. ERROR_INSUFFICIENT_BUFFER (122)
    std::uint32_t requiredSize = 0;
    std::uint32_t regType = kRegNone;
    std::vector<std::uint8_t> data;  // at most the buffer size asked for
};

struct DeviceInstanceIdResult {
    bool ok = false;
    std::uint32_t error = 0;
    std::wstring instanceId;  // "USB\VID_7A7D&PID_3262\6&2A3B4C5E&0&1"
};

// DICS_FLAG_GLOBAL (1) or DICS_FLAG_CONFIGSPECIFIC (2).
enum class PropChangeScope : std::uint32_t { Global = 1, ConfigSpecific = 2 };

struct PropChangeResult {
    SetupCallResult setParams;  // SetupDiSetClassInstallParamsW
    bool installerCalled = false;
    SetupCallResult callInstaller;  // SetupDiCallClassInstaller(DIF_PROPERTYCHANGE)
};

class DeviceInterfaceSet {
public:
    virtual ~DeviceInterfaceSet() = default;
    // SetupDiEnumDeviceInterfaces(index); ERROR_NO_MORE_ITEMS past the end.
    virtual SetupCallResult EnumInterface(std::uint32_t index) = 0;
    // SetupDiGetDeviceInterfaceDetailW (with the device's SP_DEVINFO_DATA).
    virtual InterfaceDetailResult GetInterfaceDetail(std::uint32_t index) = 0;
    // SetupDiGetDeviceRegistryPropertyW for the interface's device with a
    // buffer of `bufferSize` bytes (0: a size query).
    virtual DevicePropertyResult GetDeviceRegistryProperty(std::uint32_t index,
                                                           std::uint32_t property,
                                                           std::uint32_t bufferSize) = 0;
    // DIF_PROPERTYCHANGE with DICS_PROPCHANGE in the given scope, hardware
    // profile 0: the parameters are set, and when that worked the class
    // installer is called.
    virtual PropChangeResult PropertyChange(std::uint32_t index, PropChangeScope scope) = 0;
    // SetupDiGetDeviceInstanceIdW for the interface's device: the one id
    // that names this device and no other.
    virtual DeviceInstanceIdResult GetDeviceInstanceId(std::uint32_t index) = 0;
};

class SetupApi {
public:
    virtual ~SetupApi() = default;
    // SetupDiGetClassDevsW(interfaceClass, no enumerator, no window, flags).
    // nullptr when it gave INVALID_HANDLE_VALUE (`error` then holds the last
    // error).
    virtual std::unique_ptr<DeviceInterfaceSet> GetClassDevs(const Guid& interfaceClass,
                                                             std::uint32_t flags,
                                                             std::uint32_t* error) = 0;
};

}  // namespace platform
