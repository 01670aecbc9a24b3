// Compile-time checks: the request layouts and codes the portable core builds
// and parses (hubaccess/UsbLayouts.h, platform/SetupApi.h) against the
// system's own structures. Nothing here runs.
#include <cstddef>

#include "hubaccess/UsbLayouts.h"
#include "platform/SetupApi.h"
#include "platform/win32/WindowsApi.h"

#include <winioctl.h>
#include <setupapi.h>
#include <usbioctl.h>
#include <usbiodef.h>

namespace {

namespace ul = hubaccess::usblayout;

// --- IOCTL codes
static_assert(IOCTL_USB_GET_ROOT_HUB_NAME == ul::kIoctlGetRootHubName);
static_assert(IOCTL_USB_GET_NODE_INFORMATION == ul::kIoctlGetNodeInformation);
static_assert(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION == ul::kIoctlGetNodeConnectionInformation);
static_assert(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION == ul::kIoctlGetDescriptorFromNodeConnection);
static_assert(IOCTL_USB_GET_NODE_CONNECTION_NAME == ul::kIoctlGetNodeConnectionName);
static_assert(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX == ul::kIoctlGetNodeConnectionInformationEx);

// --- USB_DEVICE_DESCRIPTOR
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == ul::kDeviceDescriptorSize);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdUSB) == ul::kDevDescBcdUsb);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == ul::kDevDescIdVendor);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idProduct) == ul::kDevDescIdProduct);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdDevice) == ul::kDevDescBcdDevice);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, iManufacturer) == ul::kDevDescIManufacturer);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, iProduct) == ul::kDevDescIProduct);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, iSerialNumber) == ul::kDevDescISerialNumber);

// --- USB_NODE_INFORMATION
static_assert(sizeof(USB_NODE_INFORMATION) == ul::kNodeInfoSize);
static_assert(offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor) == ul::kNodeInfoHubDescriptor);
static_assert(offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bNumberOfPorts) ==
              ul::kNodeInfoNumberOfPorts);

// --- USB_NODE_CONNECTION_INFORMATION_EX and the plain layout
static_assert(sizeof(USB_PIPE_INFO) == ul::kPipeInfoSize);
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION_EX) == ul::kConnInfoFixedSize);
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION) == ul::kConnInfoFixedSize);
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION_EX) + 60 * sizeof(USB_PIPE_INFO) == ul::kConnInfoExSize);
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION) + 30 * sizeof(USB_PIPE_INFO) == ul::kConnInfoSize);
static_assert(ul::kConnInfoExSize == 695 && ul::kConnInfoSize == 365);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionIndex) == ul::kConnInfoConnectionIndex);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceDescriptor) == ul::kConnInfoDeviceDescriptor);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, CurrentConfigurationValue) ==
              ul::kConnInfoCurrentConfigurationValue);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, Speed) == ul::kConnInfoSpeed);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceIsHub) == ul::kConnInfoDeviceIsHub);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceAddress) == ul::kConnInfoDeviceAddress);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, NumberOfOpenPipes) == ul::kConnInfoNumberOfOpenPipes);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionStatus) == ul::kConnInfoConnectionStatus);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList) == ul::kConnInfoPipeList);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, LowSpeed) == ul::kConnInfoSpeed);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceIsHub) == ul::kConnInfoDeviceIsHub);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceAddress) == ul::kConnInfoDeviceAddress);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, NumberOfOpenPipes) == ul::kConnInfoNumberOfOpenPipes);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus) == ul::kConnInfoConnectionStatus);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, PipeList) == ul::kConnInfoPipeList);
static_assert(DeviceConnected == ul::kDeviceConnected);

// --- USB_NODE_CONNECTION_NAME, USB_ROOT_HUB_NAME
static_assert(sizeof(USB_NODE_CONNECTION_NAME) == ul::kConnNameFixedSize);
static_assert(offsetof(USB_NODE_CONNECTION_NAME, ConnectionIndex) == ul::kConnNameConnectionIndex);
static_assert(offsetof(USB_NODE_CONNECTION_NAME, ActualLength) == ul::kConnNameActualLength);
static_assert(offsetof(USB_NODE_CONNECTION_NAME, NodeName) == ul::kConnNameText);
static_assert(sizeof(USB_ROOT_HUB_NAME) == ul::kRootHubNameFixedSize);
static_assert(offsetof(USB_ROOT_HUB_NAME, ActualLength) == ul::kRootHubNameActualLength);
static_assert(offsetof(USB_ROOT_HUB_NAME, RootHubName) == ul::kRootHubNameText);

// --- USB_DESCRIPTOR_REQUEST
static_assert(sizeof(USB_DESCRIPTOR_REQUEST) == ul::kDescReqHeaderSize);
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, ConnectionIndex) == ul::kDescReqConnectionIndex);
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.bmRequest) == ul::kDescReqBmRequest);
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.bRequest) == ul::kDescReqBRequest);
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wValue) == ul::kDescReqWValue);
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wIndex) == ul::kDescReqWIndex);
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wLength) == ul::kDescReqWLength);
static_assert(offsetof(USB_DESCRIPTOR_REQUEST, Data) == ul::kDescReqData);
static_assert(ul::kDescReqSize == 2060);
static_assert(USB_REQUEST_GET_DESCRIPTOR == ul::kRequestGetDescriptor);
static_assert(USB_STRING_DESCRIPTOR_TYPE == ul::kDescriptorTypeString);

// --- SetupAPI codes of platform/SetupApi.h
static_assert(DIGCF_PRESENT == platform::kDigcfPresent);
static_assert(DIGCF_ALLCLASSES == platform::kDigcfAllClasses);
static_assert(DIGCF_DEVICEINTERFACE == platform::kDigcfDeviceInterface);
static_assert(SPDRP_DEVICEDESC == platform::kSpdrpDeviceDesc);
static_assert(SPDRP_HARDWAREID == platform::kSpdrpHardwareId);
static_assert(SPDRP_DRIVER == platform::kSpdrpDriver);
static_assert(SPDRP_PHYSICAL_DEVICE_OBJECT_NAME == platform::kSpdrpPhysicalDeviceObjectName);
static_assert(SPDRP_BUSNUMBER == platform::kSpdrpBusNumber);
static_assert(SPDRP_ADDRESS == platform::kSpdrpAddress);
static_assert(ERROR_NO_MORE_ITEMS == platform::kErrorNoMoreItems);
static_assert(REG_NONE == platform::kRegNone && REG_BINARY == platform::kRegBinary);
static_assert(DICS_FLAG_GLOBAL == static_cast<DWORD>(platform::PropChangeScope::Global));
static_assert(DICS_FLAG_CONFIGSPECIFIC == static_cast<DWORD>(platform::PropChangeScope::ConfigSpecific));
static_assert(DIF_PROPERTYCHANGE == 0x12 && DICS_PROPCHANGE == 3);
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8);
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20);

#if !defined(_WIN64)
// The 32-bit records the detail and device calls fill.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6);
static_assert(sizeof(SP_DEVINFO_DATA) == 28);
#endif

}  // namespace
