// platform::SetupApi on SetupDiGetClassDevsW and the device-interface calls.
#pragma once

#include "platform/SetupApi.h"

namespace platform::win32 {

class Win32SetupApi final : public SetupApi {
public:
    // The set is released (SetupDiDestroyDeviceInfoList) with the object.
    // Entries are looked up by index on every call: SetupDiEnumDeviceInterfaces,
    // then the interface detail (size query, then the read with the device's
    // SP_DEVINFO_DATA), so every call stands on its own.
    std::unique_ptr<DeviceInterfaceSet> GetClassDevs(const Guid& interfaceClass, std::uint32_t flags,
                                                     std::uint32_t* error) override;
};

}  // namespace platform::win32
