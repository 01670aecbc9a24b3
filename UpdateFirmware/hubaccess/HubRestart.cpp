// Finding the hub interfaces of one hub through SetupAPI and restarting them.
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"

namespace hubaccess {

// PLACEHOLDER: being written.
BYTE CHubUtility::ucGetHubHWIds(HUBREC, std::vector<std::wstring>*, BYTE) { return 0; }
BYTE CHubUtility::ucGetHWId(const platform::Guid&, HUBREC, std::vector<std::wstring>*, BYTE) { return 0; }
BOOL CHubUtility::bChangeDeviceStatus(platform::DeviceInterfaceSet&, std::uint32_t) { return FALSE; }
std::wstring CHubUtility::vGetSetupDiDeviceRegistryProperty(platform::DeviceInterfaceSet&, std::uint32_t,
                                                            DWORD) {
    return {};
}

}  // namespace hubaccess
